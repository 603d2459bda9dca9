#include "ledger_run.h"

#include <poll.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "kestrin_process.h"
#include "ledger_checks.h"
#include "ledger_store.h"

namespace ledger {
namespace {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string LedgerTopic(std::uint32_t wheel) {
  return "/rng/roulette/kestrin_live/" + std::to_string(wheel) + "/ledger";
}

// What the store's thread hands the main thread, and asks of it.
struct TShared {
  std::mutex mutex;  // guards outbox and flushed
  std::vector<std::pair<std::string, std::string>> outbox;  // topic, confirmation
  bool flushed = false;
  process::TDoorbell bell;  // rung with a new outbox or flushed
  std::atomic<bool> republish{false};  // every wheel's confirmation again (a new connection)
  std::atomic<bool> flush{false};      // sync and confirm now (before disconnecting)
  std::atomic<bool> stop{false};       // the session is gone: commit, sync and end
};

// The changed wheels' confirmations, into the outbox.
void Confirm(ThLedgerStore store, TShared& shared) {
  const std::int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(shared.mutex);
  for (auto& [wheel, w] : *StoreWheels(store)) {
    if (!w.changed) continue;
    shared.outbox.emplace_back(LedgerTopic(wheel), Confirmation(w, now));
    w.changed = false;
  }
}

struct TCounts {
  std::uint64_t stored = 0, duplicates = 0, conflicts = 0, failed = 0;
};

// One transaction for the whole batch; false when it did not reach the disk.
bool StoreBatch(ThLedgerStore store, std::deque<TMessage>& batch, TCounts* pCounts) {
  if (StoreBegin(store) != 0) {
    std::printf("Cannot store %zu documents: %s\n", batch.size(), StoreError(store).c_str());
    batch.clear();
    return false;
  }
  TCounts counts;
  for (const TMessage& m : batch) {
    if (m.status) {
      StoreStatus(store, m.doc.wheel, m.doc.payload, m.doc.arrivedMs);
      continue;
    }
    switch (StoreAdd(store, m.doc)) {
      case kStored: ++counts.stored; break;
      case kDuplicate: ++counts.duplicates; break;
      case kConflict:
        ++counts.conflicts;
        std::printf("Wheel %u: conflict at seq %llu: other bytes than the document stored\n", m.doc.wheel,
                    static_cast<unsigned long long>(m.doc.seq));
        break;
      default:
        ++counts.failed;
        std::printf("Wheel %u: seq %llu not stored: %s\n", m.doc.wheel, static_cast<unsigned long long>(m.doc.seq),
                    StoreError(store).c_str());
    }
  }
  const std::size_t n = batch.size();
  batch.clear();
  if (StoreCommit(store) != 0) {
    std::printf("Cannot commit %zu documents: %s; their boxes keep them until a confirmation covers them\n", n,
                StoreError(store).c_str());
    return false;
  }
  pCounts->stored += counts.stored;
  pCounts->duplicates += counts.duplicates;
  pCounts->conflicts += counts.conflicts;
  pCounts->failed += counts.failed;
  return true;
}

}  // namespace

bool ReadAccount(const std::string& path, std::string* pUser, std::string* pPassword, std::string* pError) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *pError = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *pError = path + ": not a regular file";
    return false;
  }
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) {
    *pError = path + ": no line USER:PASSWORD";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    *pError = path + ": no line USER:PASSWORD";
    return false;
  }
  *pUser = line.substr(0, colon);
  *pPassword = line.substr(colon + 1);
  return true;
}

namespace {

void StoreThread(ThLedgerStore store, ThLedgerSession session, TShared& shared, int syncMs, TCounts* pCounts) {
  std::deque<TMessage> batch;
  TIgnored ignored, told;
  std::int64_t nextSync = -1;  // steady ms; -1: nothing committed since the last sync
  for (;;) {
    const bool stopping = shared.stop;
    const int timeout = stopping ? 0 : nextSync < 0 ? 1000 : static_cast<int>(std::max<std::int64_t>(0, nextSync - SteadyMs()));
    const std::uint64_t last = SessionTake(session, timeout, &batch, &ignored);
    const bool any = !batch.empty();
    if (any) {
      StoreBatch(store, batch, pCounts);
      if (nextSync < 0) nextSync = SteadyMs() + syncMs;
    }
    SessionCommitted(session, last);
    if (shared.republish.exchange(false)) {
      for (auto& [wheel, w] : *StoreWheels(store)) w.changed = true;
      if (nextSync < 0) nextSync = SteadyMs();
    }
    const bool flush = shared.flush.exchange(false);
    if (flush || stopping || (nextSync >= 0 && SteadyMs() >= nextSync)) {
      if (StoreSync(store) == 0) {
        Confirm(store, shared);
        nextSync = -1;
      } else {
        std::printf("Cannot sync the database: %s; confirming nothing until it can\n", StoreError(store).c_str());
        nextSync = SteadyMs() + 1000;
      }
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.flushed = shared.flushed || flush;
      }
      shared.bell.Ring();
    }
    if (ignored.unnumbered != told.unnumbered || ignored.foreign != told.foreign) {
      std::printf("Not stored: %llu documents without a number (seq), %llu messages on other topics\n",
                  static_cast<unsigned long long>(ignored.unnumbered),
                  static_cast<unsigned long long>(ignored.foreign));
      told = ignored;
    }
    if (stopping && !any) return;
  }
}

// Publishes what the outbox holds, without its lock; true once the store's thread has flushed.
bool Publish(ThLedgerSession session, TShared& shared) {
  std::vector<std::pair<std::string, std::string>> out;
  bool flushed;
  shared.bell.Drain();
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    out.swap(shared.outbox);
    flushed = shared.flushed;
  }
  // A confirmation that cannot go now goes again with the next connect (every wheel's then).
  for (const auto& [topic, payload] : out) SessionPublish(session, topic, payload);
  return flushed;
}

}  // namespace

int Run(const TRunOptions& o) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string error;
  std::unique_ptr<void, void (*)(void*)> store(StoreInit(o.database.c_str(), true, &error), StoreDestroy);
  if (!store) {
    std::printf("Cannot open the ledger's database %s\n", error.c_str());
    return 1;
  }
  std::uint64_t documents = 0;
  for (const auto& [wheel, w] : *StoreWheels(store.get())) documents += w.stored;
  std::printf("Ledger %s: %zu wheels, %llu documents\n", o.database.c_str(), StoreWheels(store.get())->size(),
              static_cast<unsigned long long>(documents));
  std::unique_ptr<void, void (*)(void*)> session(SessionInit(o.session, &error), SessionDestroy);
  if (!session) {
    std::printf("Cannot start the MQTT session: %s\n", error.c_str());
    return 1;
  }
  TShared shared;
  TCounts counts;
  std::thread storeThread;
  try {
    storeThread = std::thread(StoreThread, store.get(), session.get(), std::ref(shared), o.syncMs, &counts);
  } catch (...) {
    std::printf("Cannot start the store's thread\n");
    return 1;
  }
  sd_notify(0, "READY=1");

  for (;;) {
    std::int64_t retryAt = -1;
    if (SessionService(session.get(), NowMs(), &retryAt)) {
      // Every wheel's confirmation again: those that could not go while the broker was away, and the
      // retained ones another client may have cleared.
      shared.republish = true;
      SessionWake(session.get());
    }
    Publish(session.get(), shared);
    if (process::StopRequested()) break;
    pollfd fds[3] = {{process::StopDescriptor(), POLLIN, 0},
                     {SessionDoorbell(session.get()), POLLIN, 0},
                     {shared.bell.Fd(), POLLIN, 0}};
    const int timeout = retryAt < 0 ? 60000 : static_cast<int>(std::max<std::int64_t>(0, retryAt - NowMs()));
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) {
      std::printf("poll: %s\n", std::strerror(errno));
      break;
    }
  }
  sd_notify(0, "STOPPING=1");
  // The last confirmations, then the disconnect; the store's thread serves what still arrives.
  shared.flush = true;
  SessionWake(session.get());
  for (int i = 0; i < 30 && !Publish(session.get(), shared); ++i) {
    pollfd fd = {shared.bell.Fd(), POLLIN, 0};
    poll(&fd, 1, 100);
  }
  SessionDisconnect(session.get());
  shared.stop = true;
  SessionWake(session.get());
  storeThread.join();
  const std::uint64_t unstored = SessionAckedUnstored(session.get());
  session.reset();
  store.reset();
  std::printf("Stopping: %llu stored, %llu duplicates, %llu conflicts since start%s\n",
              static_cast<unsigned long long>(counts.stored), static_cast<unsigned long long>(counts.duplicates),
              static_cast<unsigned long long>(counts.conflicts),
              unstored ? (", " + std::to_string(unstored) + " acknowledged before their commit").c_str() : "");
  return 0;
}

}  // namespace ledger
