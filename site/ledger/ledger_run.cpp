#include "ledger_run.h"

#include <poll.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "kestrin_process.h"
#include "ledger_checkpoint.h"
#include "ledger_checks.h"
#include "ledger_keys.h"
#include "ledger_store.h"

namespace ledger {
namespace {

// A commit that cannot have the store's lock in this time (a sync by SQLite itself, a stalled disk)
// is given up: the document is acknowledged unstored, and its box keeps it until a confirmation
// covers it.
constexpr std::chrono::milliseconds kLockWait(5000);
// How often the WAL is copied into the database while documents come.
constexpr std::int64_t kCheckpointMs = 1000;
// How long the start waits for the subscriptions before it reports ready all the same.
constexpr int kReadyWaitMs = 10000;

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string LedgerTopic(std::uint32_t wheel) {
  return "/rng/roulette/kestrin_live/" + std::to_string(wheel) + "/ledger";
}

struct TCounts {
  std::uint64_t stored = 0, duplicates = 0, conflicts = 0, failed = 0, forks = 0, rejected = 0;
};

// A lock whose taking can be bounded, made of a mutex and a condition variable (ThreadSanitizer does
// not follow std::timed_mutex's timed lock).
class TStoreLock {
 public:
  bool lock_for(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!free_.wait_for(guard, limit, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    free_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

// The store and what the library's thread tells the main thread.
struct TLedger {
  ThLedgerStore store = nullptr;
  ThLedgerKeys keys = nullptr;
  ThLedgerCheckpoints checkpoints = nullptr;  // the main thread's; null: no ledger key
  TStoreLock storeLock;  // guards store, keys and counts
  TCounts counts;
  TDoorbell committed;  // rung after each commit
};

// The sink of the session, on the library's thread: one message, one transaction.
bool Take(void* context, const TMessage& m) {
  TLedger& l = *static_cast<TLedger*>(context);
  if (!l.storeLock.lock_for(kLockWait)) return false;
  std::unique_lock<TStoreLock> lock(l.storeLock, std::adopt_lock);
  if (StoreBegin(l.store) != 0) {
    std::printf("Cannot store wheel %u's seq %llu: %s\n", m.doc.wheel, static_cast<unsigned long long>(m.doc.seq),
                StoreError(l.store).c_str());
    return false;
  }
  int result = kStored;
  if (m.status) {
    result = StoreStatus(l.store, m.doc.wheel, m.doc.payload, m.doc.arrivedMs) == 0 ? kStored : kFailed;
  } else {
    std::string error;
    if (!KeysReload(l.keys, m.doc.arrivedMs, &error) && !error.empty())
      std::printf("Cannot read the boxes' keys again, keeping those read before: %s\n", error.c_str());
    TIncoming doc = m.doc;
    doc.rejected = KeysCheck(l.keys, doc, false);
    // A box or key added a moment ago: the file is looked at again before the document is kept apart.
    if (doc.rejected.rfind("unknown key", 0) == 0 && KeysReload(l.keys, m.doc.arrivedMs, &error, true))
      doc.rejected = KeysCheck(l.keys, doc, false);
    const std::uint64_t forks = (*StoreWheels(l.store))[doc.wheel].forks;
    result = StoreAdd(l.store, doc);
    if (result == kStored && (*StoreWheels(l.store))[doc.wheel].forks != forks)
      std::printf("Wheel %u: fork after seq %s: the box skipped the seqs before %llu in epoch %llu; the documents "
                  "held there stay as received\n", doc.wheel, doc.prev.substr(0, doc.prev.find(':')).c_str(),
                  static_cast<unsigned long long>(doc.seq), static_cast<unsigned long long>(doc.epoch));
    const unsigned long long seq = doc.seq;
    if (result == kConflict)
      std::printf("Wheel %u: conflict at seq %llu: other bytes than the document stored\n", doc.wheel, seq);
    else if (result == kFork)
      std::printf("Wheel %u: fork at seq %llu: the box's chain went on in epoch %llu; both kept\n", doc.wheel, seq,
                  static_cast<unsigned long long>(doc.epoch));
    else if (result == kRejected)
      std::printf("Wheel %u: seq %llu kept apart: %s\n", doc.wheel, seq,
                  (*StoreWheels(l.store))[doc.wheel].lastRejected.c_str());
  }
  if (result == kFailed)
    std::printf("Wheel %u: seq %llu not stored: %s\n", m.doc.wheel, static_cast<unsigned long long>(m.doc.seq),
                StoreError(l.store).c_str());
  if (StoreCommit(l.store) != 0) {
    std::printf("Cannot commit wheel %u's seq %llu: %s; its box keeps it until a confirmation covers it\n",
                m.doc.wheel, static_cast<unsigned long long>(m.doc.seq), StoreError(l.store).c_str());
    return false;
  }
  if (!m.status) {
    TCounts& c = l.counts;
    ++(result == kStored      ? c.stored
       : result == kDuplicate ? c.duplicates
       : result == kConflict  ? c.conflicts
       : result == kFork      ? c.forks
       : result == kRejected  ? c.rejected
                              : c.failed);
  }
  lock.unlock();
  l.committed.Ring();
  return result != kFailed;
}

// The changed wheels' confirmations, made durable: taken under the lock, the WAL synced after it
// (every commit they count came before), published by the caller. Empty when the sync failed: the
// wheels keep their marks and go with the next sync.
std::map<std::string, std::string> Confirmations(TLedger& l) {
  std::map<std::string, std::string> out;
  // Each changed wheel's figures and what its checkpoint states, taken under the lock; signed after.
  struct TTaken {
    TWheel w;
    THash boxHash{}, head{};
  };
  std::map<std::uint32_t, TTaken> taken;
  int walFd;
  {
    std::lock_guard<TStoreLock> lock(l.storeLock);
    for (auto& [wheel, w] : *StoreWheels(l.store)) {
      if (!w.changed) continue;
      TTaken& t = taken[wheel];
      t.w = w;
      if (w.Confirmed() > 0) StoreBoxHash(l.store, wheel, w.Confirmed(), &t.boxHash);
      if (w.headHash.size() == t.head.size()) std::memcpy(t.head.data(), w.headHash.data(), t.head.size());
      w.changed = false;
    }
    walFd = StoreWalDescriptor(l.store);
    if (walFd < 0 && StoreSync(l.store) != 0) walFd = -2;
  }
  if (taken.empty()) return out;
  const std::int64_t now = NowMs();
  std::string notes;
  for (const auto& [wheel, t] : taken) {
    const std::string note =
        l.checkpoints ? CheckpointSign(l.checkpoints, wheel, t.w.Confirmed(), t.boxHash, t.head, now) : "";
    notes += note;
    out[LedgerTopic(wheel)] = Confirmation(t.w, now, note);
  }
  const bool walSynced = walFd != -2 && (walFd < 0 || fdatasync(walFd) == 0);
  const bool kept = walSynced && (notes.empty() || CheckpointsAppend(l.checkpoints, notes) == 0);
  if (!kept) {
    std::printf("Cannot sync the %s: %s; confirming nothing until it can\n", walSynced ? "checkpoint file" : "database",
                walFd == -2 ? "the sync's transaction failed" : std::strerror(errno));
    std::lock_guard<TStoreLock> lock(l.storeLock);
    for (auto& [wheel, w] : *StoreWheels(l.store)) w.changed = true;
    out.clear();
  }
  return out;
}

// Publishes what waits, newest per wheel, as far as the session takes them; the rest waits for the
// completions (the session's doorbell). Not connected: every wheel's confirmation goes again with the
// next connect.
void Publish(ThLedgerSession session, std::map<std::string, std::string>* pPending) {
  if (!SessionConnected(session)) pPending->clear();
  for (auto it = pPending->begin(); it != pPending->end() && SessionPublish(session, it->first, it->second);)
    it = pPending->erase(it);
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
  TLedger l;
  std::unique_ptr<void, void (*)(void*)> store(StoreInit(o.database.c_str(), true, &error), StoreDestroy);
  if (!store) {
    std::printf("Cannot open the ledger's database %s\n", error.c_str());
    return 1;
  }
  l.store = store.get();
  std::unique_ptr<void, void (*)(void*)> keys(KeysInit(o.keys.c_str(), &error), KeysDestroy);
  if (!keys) {
    std::printf("Cannot read the boxes' keys: %s\n", error.c_str());
    return 1;
  }
  l.keys = keys.get();
  std::printf("Boxes' keys %s: %zu keys\n", o.keys.c_str(), KeysCount(l.keys));
  std::unique_ptr<void, void (*)(void*)> checkpoints(nullptr, CheckpointsDestroy);
  if (o.ledgerKey.empty()) {
    std::printf("No ledger key: the confirmations carry no signed checkpoint (kestrin-site setup makes the key)\n");
  } else {
    checkpoints.reset(CheckpointsInit(o.ledgerKey.c_str(), o.name.c_str(), o.checkpoints.c_str(), &error));
    if (!checkpoints) {
      std::printf("Cannot sign checkpoints: %s\n", error.c_str());
      return 1;
    }
    l.checkpoints = checkpoints.get();
    std::printf("Checkpoints signed by %s, kept in %s\n", CheckpointsVkey(l.checkpoints).c_str(),
                o.checkpoints.c_str());
  }
  std::uint64_t documents = 0;
  for (const auto& [wheel, w] : *StoreWheels(l.store)) documents += w.stored;
  std::printf("Ledger %s: %zu wheels, %llu documents\n", o.database.c_str(), StoreWheels(l.store)->size(),
              static_cast<unsigned long long>(documents));
  std::unique_ptr<void, void (*)(void*)> session(SessionInit(o.session, TSink{Take, &l}, &error), SessionDestroy);
  if (!session) {
    std::printf("Cannot start the MQTT session: %s\n", error.c_str());
    return 1;
  }
  // Ready once the broker has the subscriptions (a persistent session keeps what comes from then on), so
  // that what is published right after the start is stored; bounded, so a broker that is away cannot
  // hold up the start.
  bool ready = false;
  const std::int64_t readyBy = SteadyMs() + kReadyWaitMs;

  std::map<std::string, std::string> pending;  // confirmations the library has not taken yet
  std::int64_t syncAt = -1;                    // steady ms; -1: nothing committed since the last sync
  std::int64_t checkpointAt = -1;              // steady ms; -1: nothing committed since the last one
  TIgnored told;
  for (;;) {
    std::int64_t retryAt = -1;
    if (SessionService(session.get(), NowMs(), &retryAt)) {
      // Every wheel's confirmation again: those that could not go while the broker was away, and the
      // retained ones another client may have cleared.
      std::lock_guard<TStoreLock> lock(l.storeLock);
      for (auto& [wheel, w] : *StoreWheels(l.store)) w.changed = true;
      syncAt = SteadyMs();
    }
    if (!ready && (SessionSubscribed(session.get()) || SteadyMs() >= readyBy)) {
      if (!SessionSubscribed(session.get()))
        std::printf("Not subscribed after %d s; running on, the subscriptions follow the connect\n",
                    kReadyWaitMs / 1000);
      sd_notify(0, "READY=1");
      ready = true;
    }
    const bool stopping = process::StopRequested();
    if (syncAt >= 0 && (stopping || SteadyMs() >= syncAt)) {
      for (auto& [topic, payload] : Confirmations(l)) pending[topic] = std::move(payload);
      syncAt = -1;
      if (checkpointAt < 0) checkpointAt = SteadyMs() + kCheckpointMs;
    }
    if (checkpointAt >= 0 && SteadyMs() >= checkpointAt) {
      StoreCheckpoint(l.store);  // its own connection: no lock of ours, no commit waits
      checkpointAt = -1;
    }
    Publish(session.get(), &pending);
    const TIgnored ignored = SessionIgnored(session.get());
    if (ignored.unnumbered != told.unnumbered || ignored.foreign != told.foreign || ignored.unstored != told.unstored) {
      std::printf("Not stored: %llu documents without a number (seq), %llu messages on other topics, %llu "
                  "documents acknowledged before their commit could be made\n",
                  static_cast<unsigned long long>(ignored.unnumbered),
                  static_cast<unsigned long long>(ignored.foreign),
                  static_cast<unsigned long long>(ignored.unstored));
      told = ignored;
    }
    if (stopping) break;

    pollfd fds[3] = {{process::StopDescriptor(), POLLIN, 0},
                     {SessionDoorbell(session.get()), POLLIN, 0},
                     {l.committed.Fd(), POLLIN, 0}};
    // While a sync is due, commits need not wake this thread: they wait for that sync.
    std::int64_t wake = retryAt < 0 ? SteadyMs() + 60000 : SteadyMs() + std::max<std::int64_t>(0, retryAt - NowMs());
    if (syncAt >= 0) wake = std::min(wake, syncAt);
    if (!ready) wake = std::min(wake, readyBy);
    if (checkpointAt >= 0) wake = std::min(wake, checkpointAt);
    const int timeout = static_cast<int>(std::max<std::int64_t>(0, wake - SteadyMs()));
    if (poll(fds, syncAt >= 0 ? 2 : 3, timeout) < 0 && errno != EINTR) {
      std::printf("poll: %s\n", std::strerror(errno));
      break;
    }
    if (fds[2].revents & POLLIN) {
      l.committed.Drain();
      if (syncAt < 0) syncAt = SteadyMs() + o.syncMs;
    }
  }
  sd_notify(0, "STOPPING=1");
  // What arrives during the disconnect is still committed; its confirmation goes at the next start.
  for (int i = 0; i < 50 && !pending.empty(); ++i) {
    Publish(session.get(), &pending);
    pollfd none = {-1, 0, 0};
    poll(&none, 0, 20);
  }
  SessionDisconnect(session.get());
  session.reset();  // no callback after this
  std::printf("Stopping: %llu stored, %llu duplicates, %llu conflicts, %llu forks, %llu kept apart since start\n",
              static_cast<unsigned long long>(l.counts.stored), static_cast<unsigned long long>(l.counts.duplicates),
              static_cast<unsigned long long>(l.counts.conflicts), static_cast<unsigned long long>(l.counts.forks),
              static_cast<unsigned long long>(l.counts.rejected));
  return 0;
}

}  // namespace ledger
