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
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "kestrin_process.h"
#include "ledger_checkpoint.h"
#include "ledger_checks.h"
#include "ledger_keys.h"
#include "ledger_intake.h"
#include "ledger_store.h"

namespace ledger {
namespace {

// A commit that cannot have the store's lock in this time (a sync by SQLite itself, a stalled disk)
// is given up: the document is held and storing stops (ledger_intake.h).
constexpr std::chrono::milliseconds kLockWait(5000);
// While not storing, how often the held documents are tried again.
constexpr std::int64_t kProbeMs = 2000;
// Held documents stored at most this many to a transaction.
constexpr std::size_t kHeldBatch = 1000;
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
  std::uint64_t stored = 0, duplicates = 0, conflicts = 0, forks = 0, rejected = 0;
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
  TDoorbell committed;  // rung after each commit, and when a document is held
  TIntake intake;       // what could not be stored yet
};

// One document: its signature checked against the boxes' keys, then stored; its verdict said.
int AddDocument(TLedger& l, const TIncoming& incoming) {
  std::string error;
  if (!KeysReload(l.keys, incoming.arrivedMs, &error) && !error.empty())
    std::printf("Cannot read the boxes' keys again, keeping those read before: %s\n", error.c_str());
  TIncoming doc = incoming;
  doc.rejected = KeysCheck(l.keys, doc, false);
  // A box or key added a moment ago: the file is looked at again before the document is kept apart.
  if (doc.rejected.rfind("unknown key", 0) == 0 && KeysReload(l.keys, incoming.arrivedMs, &error, true))
    doc.rejected = KeysCheck(l.keys, doc, false);
  const std::uint64_t forks = (*StoreWheels(l.store))[doc.wheel].forks;
  const int result = StoreAdd(l.store, doc);
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
  return result;
}

// Messages first..last in one transaction, the store's lock held; false with the reason when nothing
// of them is stored (rolled back, not committed half).
template <typename It>
bool StoreBatch(TLedger& l, It first, It last, std::string* pReason) {
  if (StoreBegin(l.store) != 0) {
    *pReason = StoreError(l.store);
    return false;
  }
  TCounts counts;
  for (It it = first; it != last; ++it) {
    const TMessage& m = *it;
    int result = kStored;
    if (m.status) {
      result = StoreStatus(l.store, m.doc.wheel, m.doc.payload, m.doc.arrivedMs) == 0 ? kStored : kFailed;
    } else {
      result = AddDocument(l, m.doc);
    }
    if (result == kFailed) {
      *pReason = StoreError(l.store);
      StoreRollback(l.store);
      return false;
    }
    if (!m.status)
      ++(result == kStored      ? counts.stored
         : result == kDuplicate ? counts.duplicates
         : result == kConflict  ? counts.conflicts
         : result == kFork      ? counts.forks
                                : counts.rejected);
  }
  if (StoreCommit(l.store) != 0) {
    *pReason = StoreError(l.store);
    return false;
  }
  l.counts.stored += counts.stored;
  l.counts.duplicates += counts.duplicates;
  l.counts.conflicts += counts.conflicts;
  l.counts.forks += counts.forks;
  l.counts.rejected += counts.rejected;
  return true;
}

void SayNotStored(const TMessage& m, const std::string& reason) {
  const std::string what = m.status ? "status" : "seq " + std::to_string(m.doc.seq);
  std::printf("Cannot store wheel %u's %s: %s; storing stops, and it waits with what follows until storing "
              "works again\n", m.doc.wheel, what.c_str(), reason.c_str());
}

// The sink of the session, on the library's thread: one message, one transaction. What cannot be
// stored is held, and with it everything after it, until the session has ended (ledger_intake.h).
bool Take(void* context, const TMessage& m) {
  TLedger& l = *static_cast<TLedger*>(context);
  if (l.intake.HoldIfHolding(m)) {
    l.committed.Ring();
    return true;
  }
  std::string reason;
  bool stored = false;
  if (l.storeLock.lock_for(kLockWait)) {
    std::lock_guard<TStoreLock> lock(l.storeLock, std::adopt_lock);
    stored = StoreBatch(l, &m, &m + 1, &reason);
  } else {
    reason = "the store's lock was not had within " + std::to_string(kLockWait.count() / 1000) + " s";
  }
  if (!stored) {
    SayNotStored(m, reason);
    l.intake.Hold(m, reason);
  }
  l.committed.Ring();
  return true;
}

// Stores the held documents in order, on the main thread; true once none is held and storing has
// resumed. The library's thread holds what comes meanwhile, behind them.
bool StoreHeld(TLedger& l, std::uint64_t* pStored) {
  for (;;) {
    std::deque<TMessage> held = l.intake.TakeHeld();
    if (held.empty() && l.intake.Resume()) return true;
    std::string reason;
    std::lock_guard<TStoreLock> lock(l.storeLock);
    // A small write first: a disk that is still full says so without a document's rollback and the
    // reload of the figures that follows it.
    if (!held.empty() && StoreSync(l.store) != 0) {
      l.intake.PutBack(std::move(held), StoreError(l.store));
      return false;
    }
    // In batches: a transaction each would grow the WAL by its pages for every document on a disk
    // that has only just had room again (no checkpoint runs meanwhile).
    while (!held.empty()) {
      const std::size_t n = std::min<std::size_t>(held.size(), kHeldBatch);
      if (!StoreBatch(l, held.begin(), held.begin() + n, &reason)) {
        if (reason != l.intake.Figures().reason) SayNotStored(held.front(), reason);
        l.intake.PutBack(std::move(held), reason);
        return false;
      }
      held.erase(held.begin(), held.begin() + n);
      *pStored += n;
    }
  }
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
  TSessionOptions sessionOptions = o.session;
  sessionOptions.willTopic = kLedgerStatusTopic;
  sessionOptions.willPayload = kLedgerWill;
  std::unique_ptr<void, void (*)(void*)> session(SessionInit(sessionOptions, TSink{Take, &l}, &error),
                                                 SessionDestroy);
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
  bool paused = false;       // not storing: the session ended, the held documents tried every kProbeMs
  std::int64_t probeAt = -1;  // steady ms
  const auto status = [&](const char* state) {
    SessionPublish(session.get(), kLedgerStatusTopic, LedgerStatus(l.intake.Figures(), state, NowMs()), true);
  };
  for (;;) {
    std::int64_t retryAt = -1;
    if (SessionService(session.get(), NowMs(), &retryAt)) {
      // Every wheel's confirmation again: those that could not go while the broker was away, and the
      // retained ones another client may have cleared.
      {
        std::lock_guard<TStoreLock> lock(l.storeLock);
        for (auto& [wheel, w] : *StoreWheels(l.store)) w.changed = true;
      }
      syncAt = SteadyMs();
      status(l.intake.Holding() ? "not storing" : "storing");
    }
    // Not storing: the session ends, so that the broker keeps what comes (ledger_intake.h).
    if (l.intake.Holding() && (!paused || SessionConnected(session.get()))) {
      if (!paused)
        std::printf("Not storing (%s): the session ends, the broker keeps what comes for the ledger, and the "
                    "documents taken meanwhile are stored first when storing works again\n",
                    l.intake.Figures().reason.c_str());
      status("not storing");
      SessionPause(session.get(), true);
      SessionDisconnect(session.get());
      paused = true;
      probeAt = SteadyMs() + kProbeMs;
    }
    if (paused && SteadyMs() >= probeAt) {
      std::uint64_t stored = 0;
      if (StoreHeld(l, &stored)) {
        std::printf("Storing again: %llu held documents stored; connecting for what waits at the broker\n",
                    static_cast<unsigned long long>(stored));
        SessionPause(session.get(), false);
        paused = false;
        probeAt = -1;
        continue;
      }
      probeAt = SteadyMs() + kProbeMs;
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
    if (ignored.unnumbered != told.unnumbered || ignored.foreign != told.foreign || ignored.oversize != told.oversize) {
      std::printf("Not stored: %llu documents without a number (seq), %llu messages on other topics, %llu "
                  "documents over %zu bytes refused\n",
                  static_cast<unsigned long long>(ignored.unnumbered),
                  static_cast<unsigned long long>(ignored.foreign),
                  static_cast<unsigned long long>(ignored.oversize), kMaxDocumentBytes);
      if (ignored.oversize != told.oversize) {
        l.intake.Refused(ignored.oversize);
        status(l.intake.Holding() ? "not storing" : "storing");
      }
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
    if (probeAt >= 0) wake = std::min(wake, probeAt);
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
  status("stopped");
  // What arrives during the disconnect is still committed; its confirmation goes at the next start.
  for (int i = 0; i < 50 && !pending.empty(); ++i) {
    Publish(session.get(), &pending);
    pollfd none = {-1, 0, 0};
    poll(&none, 0, 20);
  }
  SessionDisconnect(session.get());
  session.reset();  // no callback after this
  std::uint64_t heldStored = 0;
  if (l.intake.Holding() && !StoreHeld(l, &heldStored))
    std::printf("Stopping with %llu documents not stored, acknowledged to the broker before storing failed: "
                "their boxes keep them until a confirmation covers them\n",
                static_cast<unsigned long long>(l.intake.DropHeld()));
  std::printf("Stopping: %llu stored, %llu duplicates, %llu conflicts, %llu forks, %llu kept apart since start\n",
              static_cast<unsigned long long>(l.counts.stored), static_cast<unsigned long long>(l.counts.duplicates),
              static_cast<unsigned long long>(l.counts.conflicts), static_cast<unsigned long long>(l.counts.forks),
              static_cast<unsigned long long>(l.counts.rejected));
  return 0;
}

}  // namespace ledger
