#include "ledger_run.h"

#include <poll.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

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

// Publishes the confirmation of every changed wheel; a wheel whose publication could not start keeps
// its mark and goes with the next commit or the next connect.
void Confirm(ThLedgerStore store, ThLedgerSession session) {
  if (!SessionConnected(session)) return;
  const std::int64_t now = NowMs();
  for (auto& [wheel, w] : *StoreWheels(store)) {
    if (!w.changed) continue;
    if (SessionPublish(session, LedgerTopic(wheel), Confirmation(w, now))) w.changed = false;
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
  sd_notify(0, "READY=1");

  std::deque<TMessage> batch;
  TCounts counts;
  TIgnored ignored, told;
  std::int64_t batchDeadline = -1, nextReport = SteadyMs() + 60000;
  for (;;) {
    const std::int64_t now = SteadyMs();
    std::int64_t retryAt = -1;
    if (SessionService(session.get(), NowMs(), &retryAt)) {
      // Every wheel's confirmation again: the broker keeps it retained, but another client may have
      // cleared it, and those that failed while the broker was away go now.
      for (auto& [wheel, w] : *StoreWheels(store.get())) w.changed = true;
      Confirm(store.get(), session.get());
    }
    const std::size_t before = batch.size();
    SessionTake(session.get(), &batch, &ignored);
    if (before == 0 && !batch.empty()) batchDeadline = now + o.batchMs;
    const bool stopping = process::StopRequested();
    if (!batch.empty() && (stopping || now >= batchDeadline || static_cast<int>(batch.size()) >= o.batchMax)) {
      if (StoreBatch(store.get(), batch, &counts)) Confirm(store.get(), session.get());
      batchDeadline = -1;
    }
    if (ignored.unnumbered != told.unnumbered || ignored.foreign != told.foreign) {
      std::printf("Not stored: %llu documents without a number (seq), %llu messages on other topics\n",
                  static_cast<unsigned long long>(ignored.unnumbered),
                  static_cast<unsigned long long>(ignored.foreign));
      told = ignored;
    }
    if (now >= nextReport) {
      sd_notifyf(0, "STATUS=%llu stored, %llu duplicates, %llu conflicts since start",
                 static_cast<unsigned long long>(counts.stored), static_cast<unsigned long long>(counts.duplicates),
                 static_cast<unsigned long long>(counts.conflicts));
      nextReport = now + 60000;
    }
    if (stopping) break;

    // The nearest of: the batch's deadline, the next reconnect, the status line.
    std::int64_t wake = nextReport;
    if (batchDeadline >= 0) wake = std::min(wake, batchDeadline);
    if (retryAt >= 0) wake = std::min(wake, now + std::max<std::int64_t>(0, retryAt - NowMs()));
    // While a batch gathers, what arrives waits for its deadline: one wake-up per batch, not per document.
    pollfd fds[2] = {{process::StopDescriptor(), POLLIN, 0}, {SessionDoorbell(session.get()), POLLIN, 0}};
    const int timeout = static_cast<int>(std::max<std::int64_t>(0, wake - SteadyMs()));
    if (poll(fds, batch.empty() ? 2 : 1, timeout) < 0 && errno != EINTR) {
      std::printf("poll: %s\n", std::strerror(errno));
      break;
    }
  }
  sd_notify(0, "STOPPING=1");
  std::printf("Stopping: %llu stored, %llu duplicates, %llu conflicts since start\n",
              static_cast<unsigned long long>(counts.stored), static_cast<unsigned long long>(counts.duplicates),
              static_cast<unsigned long long>(counts.conflicts));
  session.reset();
  store.reset();
  return 0;
}

}  // namespace ledger
