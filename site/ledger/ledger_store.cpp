#include "ledger_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "ledger_keys.h"
#include "ledger_store_l.h"

namespace ledger {
namespace {

// Every document once per wheel and seq; its place in the wheel's chain (pos) is unique too. The
// game's fields are read from the payload when it is stored, for the checks and the bias test; they
// are not hashed (the payload is).
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS documents(
  wheel INTEGER NOT NULL, seq INTEGER NOT NULL, pos INTEGER NOT NULL, epoch INTEGER NOT NULL,
  captured TEXT NOT NULL, arrived INTEGER NOT NULL, replayed INTEGER NOT NULL, payload BLOB NOT NULL,
  game INTEGER NOT NULL, phase INTEGER NOT NULL, win INTEGER NOT NULL, hash BLOB NOT NULL,
  PRIMARY KEY (wheel, seq)) WITHOUT ROWID;
CREATE UNIQUE INDEX IF NOT EXISTS documents_chain ON documents(wheel, pos);
CREATE TABLE IF NOT EXISTS conflicts(
  wheel INTEGER NOT NULL, seq INTEGER NOT NULL, epoch INTEGER NOT NULL, captured TEXT NOT NULL,
  arrived INTEGER NOT NULL, replayed INTEGER NOT NULL, payload BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS conflicts_seq ON conflicts(wheel, seq);
CREATE TABLE IF NOT EXISTS wheels(
  wheel INTEGER PRIMARY KEY, duplicates INTEGER NOT NULL, conflicts INTEGER NOT NULL,
  missed_games INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS apart(
  wheel INTEGER NOT NULL, pos INTEGER NOT NULL, kind TEXT NOT NULL, note TEXT NOT NULL, seq INTEGER NOT NULL,
  epoch INTEGER NOT NULL, captured TEXT NOT NULL, arrived INTEGER NOT NULL, replayed INTEGER NOT NULL,
  payload BLOB NOT NULL, prev TEXT NOT NULL, key TEXT NOT NULL, sig TEXT NOT NULL, hash BLOB NOT NULL,
  PRIMARY KEY (wheel, pos)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS apart_seq ON apart(wheel, seq);
CREATE TABLE IF NOT EXISTS statuses(wheel INTEGER NOT NULL, arrived INTEGER NOT NULL, payload BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS syncs(id INTEGER PRIMARY KEY, at INTEGER NOT NULL);
)";

// A database of a ledger before signatures gains the box's properties (not hashed: the box's signature
// covers prev, and verify checks it again); prevseq is prev's seq, for the links' look-ups.
constexpr const char* kSignedColumns = R"(
ALTER TABLE documents ADD COLUMN prevseq INTEGER NOT NULL DEFAULT 0;
ALTER TABLE documents ADD COLUMN prev TEXT NOT NULL DEFAULT '';
ALTER TABLE documents ADD COLUMN key TEXT NOT NULL DEFAULT '';
ALTER TABLE documents ADD COLUMN sig TEXT NOT NULL DEFAULT '';
)";
constexpr const char* kSignedIndex = "CREATE INDEX IF NOT EXISTS documents_prev ON documents(wheel, prevseq)";

TStore& Of(ThLedgerStore h) { return *static_cast<TStore*>(h); }

bool Fail(TStore& d, const char* what) {
  d.error = std::string(what) + ": " + sqlite3_errmsg(d.db);
  return false;
}

bool Exec(TStore& d, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(d.db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  d.error = message ? message : sqlite3_errmsg(d.db);
  sqlite3_free(message);
  return false;
}

TStatement Prepare(TStore& d, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(d.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    Fail(d, sql);
    sqlite3_finalize(s);
    return nullptr;
  }
  return TStatement(s);
}

// A text bound as TEXT (the bytes of a std::string go as a BLOB).
struct TText {
  const char* p;
};

// Binds the arguments in order, from 1.
void BindAll(sqlite3_stmt*, int) {}
template <typename T, typename... Rest>
void BindAll(sqlite3_stmt* s, int i, const T& value, const Rest&... rest) {
  if constexpr (std::is_same_v<T, TText>)
    sqlite3_bind_text(s, i, value.p, -1, SQLITE_STATIC);
  else if constexpr (std::is_same_v<T, std::string>)
    sqlite3_bind_blob(s, i, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  else
    sqlite3_bind_int64(s, i, static_cast<sqlite3_int64>(value));
  BindAll(s, i + 1, rest...);
}
template <typename... Args>
sqlite3_stmt* Bound(sqlite3_stmt* s, const Args&... args) {
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  BindAll(s, 1, args...);
  return s;
}

std::string Column(sqlite3_stmt* s, int i) {
  const void* p = sqlite3_column_blob(s, i);
  return std::string(static_cast<const char*>(p), p ? static_cast<std::size_t>(sqlite3_column_bytes(s, i)) : 0);
}
std::int64_t Int(sqlite3_stmt* s, int i) { return sqlite3_column_int64(s, i); }

// One statement run to its end, each row handed to row().
template <typename... Args>
bool Query(TStore& d, const char* sql, const std::function<void(sqlite3_stmt*)>& row, const Args&... args) {
  TStatement s = Prepare(d, sql);
  if (!s) return false;
  Bound(s.get(), args...);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) row(s.get());
  return rc == SQLITE_DONE || Fail(d, sql);
}

std::int64_t Lateness(const std::string& captured, std::int64_t arrivedMs) {
  std::int64_t capturedMs;
  return ParseTime(captured, &capturedMs) ? arrivedMs - capturedMs : 0;
}

// The box's H of a stored row (epoch, captured, prev, payload at columns from i).
std::string RowBoxHash(std::uint32_t wheel, std::uint64_t seq, sqlite3_stmt* s, int i) {
  THash h{};
  return DocumentHash(wheel, seq, Int(s, i), Column(s, i + 1), Column(s, i + 2), Column(s, i + 3), &h)
             ? std::string(h.begin(), h.end())
             : std::string();
}

// The figures of every wheel, from what is committed: the counts of what is kept apart from the chain's
// records, the game of the highest seq from its payload.
bool Load(TStore& d) {
  d.wheels.clear();
  bool ok = Query(d, "SELECT wheel, COUNT(*), MIN(seq), MAX(seq), MAX(pos) FROM documents GROUP BY wheel",
                  [&d](sqlite3_stmt* s) {
                    TWheel& w = d.wheels[static_cast<std::uint32_t>(Int(s, 0))];
                    w.stored = Int(s, 1);
                    w.lowest = Int(s, 2);
                    w.highest = Int(s, 3);
                    w.headPos = Int(s, 4);
                  }) &&
            Query(d, "SELECT wheel, MAX(pos), SUM(kind = 'conflict'), SUM(kind = 'fork'), SUM(kind = 'rejected') "
                     "FROM apart GROUP BY wheel",
                  [&d](sqlite3_stmt* s) {
                    TWheel& w = d.wheels[static_cast<std::uint32_t>(Int(s, 0))];
                    w.headPos = std::max<std::uint64_t>(w.headPos, Int(s, 1));
                    w.conflicts = Int(s, 2);
                    w.forks = Int(s, 3);
                    w.rejected = Int(s, 4);
                  });
  for (auto& [wheel, w] : d.wheels) {
    if (!ok) break;
    auto head = [&w](sqlite3_stmt* s) { w.headHash = Column(s, 0); };
    ok = Query(d, "SELECT hash FROM documents WHERE wheel = ?1 AND pos = ?2 UNION ALL "
                  "SELECT hash FROM apart WHERE wheel = ?1 AND pos = ?2", head, wheel, w.headPos) &&
         Query(d, "SELECT note FROM apart WHERE wheel = ? AND kind = 'rejected' ORDER BY pos DESC LIMIT 1",
               [&w](sqlite3_stmt* s) { w.lastRejected = Column(s, 0); }, wheel) &&
         Query(d, "SELECT epoch, captured, arrived, payload, prev FROM documents WHERE wheel = ? AND seq = ?",
               [&, wheel = wheel](sqlite3_stmt* s) {
                 w.newestEpoch = Int(s, 0);
                 w.latenessMs = Lateness(Column(s, 1), Int(s, 2));
                 w.highestGame = ReadGameFields(Column(s, 3)).game;
                 THash h{};
                 if (DocumentHash(wheel, w.highest, Int(s, 0), Column(s, 1), Column(s, 4), Column(s, 3), &h))
                   w.highestBoxHash.assign(h.begin(), h.end());
               }, wheel, w.highest) &&
         Query(d, "SELECT DISTINCT epoch FROM documents WHERE wheel = ?",
               [&w](sqlite3_stmt* s) { w.epochs.insert(Int(s, 0)); }, wheel) &&
         Query(d, "SELECT seq + 1, next - 1 FROM (SELECT seq, LEAD(seq) OVER (ORDER BY seq) AS next "
                  "FROM documents WHERE wheel = ?) WHERE next > seq + 1",
               [&w](sqlite3_stmt* s) { w.gaps.Open(Int(s, 0), Int(s, 1)); }, wheel);
    if (w.lowest > 1) w.gaps.Open(1, w.lowest - 1);
    // The seqs the box skipped on purpose, as its signed prev says.
    ok = ok && Query(d, "SELECT prevseq + 1, seq - 1 FROM documents WHERE wheel = ? AND prevseq > 0 AND "
                        "prevseq < seq - 1",
                     [&w](sqlite3_stmt* s) {
                       w.gaps.Skip(Int(s, 0), Int(s, 1));
                       w.skipped += Int(s, 1) - Int(s, 0) + 1;
                     }, wheel);
  }
  // Conflicts stored before the chain took them in stay counted.
  return ok && Query(d, "SELECT wheel, COUNT(*) FROM conflicts GROUP BY wheel", [&d](sqlite3_stmt* s) {
           d.wheels[static_cast<std::uint32_t>(Int(s, 0))].conflicts += Int(s, 1);
         }) && Query(d, "SELECT wheel, duplicates, missed_games FROM wheels", [&d](sqlite3_stmt* s) {
           TWheel& w = d.wheels[static_cast<std::uint32_t>(Int(s, 0))];
           w.duplicates = Int(s, 1);
           w.missedGames = Int(s, 2);
         });
}

// The game id stored at seq, -1 when there is none.
int GameAt(TStore& d, std::uint32_t wheel, std::uint64_t seq) {
  sqlite3_stmt* s = Bound(d.findGame.get(), wheel, seq);
  return sqlite3_step(s) == SQLITE_ROW ? ReadGameFields(Column(s, 0)).game : -1;
}

TRecord RecordOf(const TIncoming& doc, std::uint64_t pos) {
  TRecord r;
  r.wheel = doc.wheel;
  r.pos = pos;
  r.seq = doc.seq;
  r.epoch = doc.epoch;
  r.arrivedMs = doc.arrivedMs;
  r.replayed = doc.replayed;
  r.captured = doc.captured;
  r.payload = doc.payload;
  r.prev = doc.prev;
  r.key = doc.key;
  r.sig = doc.sig;
  return r;
}

// Appends r at the wheel's chain head: its hash into *pHash and the head.
bool Chain(TStore& d, TWheel& w, TRecord& r, std::string* pHash) {
  r.pos = w.headPos + 1;
  THash prev{}, hash{};
  if (w.headHash.size() == prev.size()) std::memcpy(prev.data(), w.headHash.data(), prev.size());
  if (!RecordHash(prev, r, &hash)) {
    d.error = "the crypto library failed to hash";
    return false;
  }
  pHash->assign(hash.begin(), hash.end());
  w.headPos = r.pos;
  w.headHash = *pHash;
  w.changed = true;
  d.touched.insert(r.wheel);
  return true;
}

// A record kept apart, in the wheel's chain; result when stored.
int Apart(TStore& d, TWheel& w, TRecord r, const char* kind, const std::string& note, int result) {
  r.kind = kind;
  r.note = note;
  std::string hash;
  if (!Chain(d, w, r, &hash)) return kFailed;
  sqlite3_stmt* s = Bound(d.insertApart.get(), r.wheel, r.pos, TText{kind}, r.note, r.seq, r.epoch, r.captured, r.arrivedMs,
                          r.replayed ? 1 : 0, r.payload, r.prev, r.key, r.sig, hash);
  if (sqlite3_step(s) != SQLITE_DONE) return Fail(d, "keeping a document apart"), kFailed;
  return result;
}

// Whether the same document was kept apart already as kind.
bool KeptApart(TStore& d, const TIncoming& doc, const char* kind) {
  sqlite3_stmt* s = Bound(d.findApart.get(), doc.wheel, doc.seq, TText{kind}, doc.epoch, doc.sig, doc.payload);
  const bool found = sqlite3_step(s) == SQLITE_ROW;
  sqlite3_reset(s);
  return found;
}

// What the wheel holds at seq against the box's hash want: 0 nothing, 1 a record with that hash (a
// stored document, or a fork's), -1 only others.
int HashAt(TStore& d, const TWheel& w, std::uint32_t wheel, std::uint64_t seq, const THash& want) {
  const std::string wanted(want.begin(), want.end());
  if (seq == w.highest && w.highestBoxHash == wanted) return 1;
  int found = 0;
  for (sqlite3_stmt* s : {Bound(d.findDoc.get(), wheel, seq), Bound(d.findFork.get(), wheel, seq)}) {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW && found != 1) found = RowBoxHash(wheel, seq, s, 0) == wanted ? 1 : -1;
    sqlite3_reset(s);
    if (found == 1) break;
  }
  return found;
}

int Add(TStore& d, const TIncoming& doc) {
  if (doc.seq == 0 || doc.seq > static_cast<std::uint64_t>(INT64_MAX)) {
    d.error = "a document without a number";
    return kFailed;
  }
  TWheel& w = d.wheels[doc.wheel];
  const TRecord r = RecordOf(doc, 0);
  THash boxHash{}, prevHash{};
  std::uint64_t prevSeq = 0;
  std::string why = doc.rejected;
  if (why.empty() && !ReadPrev(doc.prev, &prevSeq, &prevHash)) why = "broken link: prev does not read";
  if (why.empty() && !DocumentHash(doc.wheel, doc.seq, doc.epoch, doc.captured, doc.prev, doc.payload, &boxHash))
    why = "bad signature: the document does not fit the signed layout";
  if (why.empty() && prevSeq >= doc.seq) why = "broken link: prev names seq " + std::to_string(prevSeq);
  if (why.empty() && prevSeq > 0 && HashAt(d, w, doc.wheel, prevSeq, prevHash) < 0)
    why = "broken link: prev is not the document stored at seq " + std::to_string(prevSeq);
  auto reject = [&](const std::string& reason) {
    w.changed = true;
    d.touched.insert(doc.wheel);
    if (KeptApart(d, doc, "rejected")) return ++w.duplicates, kDuplicate;
    ++w.rejected;
    w.lastRejected = reason;
    return Apart(d, w, r, "rejected", reason, kRejected);
  };
  if (!why.empty()) return reject(why);

  const bool inRange = w.stored > 0 && doc.seq >= w.lowest && doc.seq <= w.highest;
  if (inRange) {
    sqlite3_stmt* s = Bound(d.findDoc.get(), doc.wheel, doc.seq);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      const std::int64_t epoch = Int(s, 0);
      const bool same = RowBoxHash(doc.wheel, doc.seq, s, 0) == std::string(boxHash.begin(), boxHash.end());
      sqlite3_reset(s);
      w.changed = true;
      d.touched.insert(doc.wheel);
      // The same signed document (its hash covers epoch, captured and prev) is a duplicate; so is a
      // fork or conflict received again.
      const bool fork = static_cast<std::uint64_t>(epoch) != doc.epoch;
      if (same || KeptApart(d, doc, fork ? "fork" : "conflict")) {
        ++w.duplicates;
        return kDuplicate;
      }
      if (fork) {
        ++w.forks;
        return Apart(d, w, r, "fork",
                     "after seq " + std::to_string(prevSeq) + " between epochs " + std::to_string(epoch) + " and " +
                         std::to_string(doc.epoch) + ": seq " + std::to_string(doc.seq) + " of epoch " +
                         std::to_string(doc.epoch) + " beside the one stored",
                     kFork);
      }
      ++w.conflicts;
      return Apart(d, w, r, "conflict", "other bytes than the document stored", kConflict);
    }
    if (rc != SQLITE_DONE) return Fail(d, "looking up a document"), kFailed;
  }
  // Stored documents that name this seq as their prev must name this document.
  if (w.stored > 0 && doc.seq < w.highest) {
    sqlite3_stmt* n = Bound(d.findNext.get(), doc.wheel, doc.seq);
    std::string other;
    while (other.empty() && sqlite3_step(n) == SQLITE_ROW) {
      std::uint64_t seq;
      THash named;
      if (!ReadPrev(Column(n, 1), &seq, &named) || named != boxHash) other = std::to_string(Int(n, 0));
    }
    sqlite3_reset(n);
    if (!other.empty()) return reject("broken link: the document stored at seq " + other + " names another at this seq");
  }

  TRecord stored = r;
  std::string hashBytes;
  if (!Chain(d, w, stored, &hashBytes)) return kFailed;
  const TGameFields f = ReadGameFields(doc.payload);
  sqlite3_stmt* s = Bound(d.insertDoc.get(), doc.wheel, doc.seq, stored.pos, doc.epoch, doc.captured, doc.arrivedMs,
                          doc.replayed ? 1 : 0, doc.payload, f.game, f.phase, f.win, hashBytes, prevSeq, doc.prev,
                          doc.key, doc.sig);
  if (sqlite3_step(s) != SQLITE_DONE) return Fail(d, "storing a document"), kFailed;

  // Games missed between this document and its neighbours by seq, where they are stored.
  if (w.stored > 0) {
    const bool beforeIn = doc.seq - 1 >= w.lowest && doc.seq - 1 <= w.highest;
    const int before = !beforeIn ? -1 : doc.seq - 1 == w.highest ? w.highestGame : GameAt(d, doc.wheel, doc.seq - 1);
    const int after = doc.seq + 1 >= w.lowest && doc.seq + 1 <= w.highest ? GameAt(d, doc.wheel, doc.seq + 1) : -1;
    w.missedGames += MissedGames(before, f.game) + MissedGames(f.game, after);
  }
  const std::uint64_t highestBefore = w.stored > 0 ? w.highest : 0;
  w.gaps.Stored(doc.seq, highestBefore);
  if (w.stored == 0 || doc.seq < w.lowest) w.lowest = doc.seq;
  if (w.stored == 0 || doc.seq > w.highest) {
    w.highest = doc.seq;
    w.newestEpoch = doc.epoch;
    w.latenessMs = Lateness(doc.captured, doc.arrivedMs);
    w.highestGame = f.game;
    w.highestBoxHash.assign(boxHash.begin(), boxHash.end());
  }
  w.epochs.insert(doc.epoch);
  ++w.stored;
  // Seqs the box skipped on purpose are not missing; what the ledger holds of them is the old chain's
  // tail beside the new one: a fork after prevSeq, kept as received.
  if (prevSeq > 0 && prevSeq + 1 < doc.seq) {
    w.gaps.Skip(prevSeq + 1, doc.seq - 1);
    w.skipped += doc.seq - 1 - prevSeq;
    std::string epochs;
    if (prevSeq < highestBefore &&
        !Query(d, "SELECT MIN(seq), MAX(seq), GROUP_CONCAT(DISTINCT epoch) FROM documents WHERE wheel = ? AND "
                  "seq BETWEEN ? AND ? HAVING COUNT(*) > 0",
               [&](sqlite3_stmt* q) {
                 epochs = "seqs " + std::to_string(Int(q, 0)) + " to " + std::to_string(Int(q, 1)) + " of epoch " +
                          Column(q, 2);
               }, doc.wheel, prevSeq + 1, doc.seq - 1))
      return kFailed;
    if (!epochs.empty()) {
      ++w.forks;
      TRecord mark = r;
      mark.payload.clear();
      if (Apart(d, w, mark, "fork",
                "after seq " + std::to_string(prevSeq) + ": the box skipped seqs " + std::to_string(prevSeq + 1) +
                    " to " + std::to_string(doc.seq - 1) + " in epoch " + std::to_string(doc.epoch) + "; " + epochs +
                    " stay as received",
                kFork) == kFailed)
        return kFailed;
    }
  }
  w.changed = true;
  d.touched.insert(doc.wheel);
  return kStored;
}

// The WAL file exists once a transaction has been committed; its directory entry is made durable once.
void OpenWal(TStore& d) {
  const char* path = sqlite3_db_filename(d.db, "main");
  if (!path || !*path) return;
  const std::string wal = std::string(path) + "-wal";
  d.walFd = open(wal.c_str(), O_RDONLY | O_CLOEXEC);
  const std::size_t slash = wal.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : wal.substr(0, slash);
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
}

}  // namespace

ThLedgerStore StoreInit(const char* pPath, bool bWrite, std::string* pError) noexcept {
  try {
    auto d = std::make_unique<TStore>();
    const int flags = bWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(pPath, &d->db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      *pError = std::string(pPath) + ": " + (d->db ? sqlite3_errmsg(d->db) : "cannot open");
      return nullptr;
    }
    sqlite3_busy_timeout(d->db, 5000);
    // WAL: the verbs read beside a running ledger. NORMAL: a commit is in the WAL file when it returns
    // and survives the ledger's end, not a power cut; StoreSync makes it survive that too.
    bool ok = true;
    if (bWrite) {
      // No checkpoint inside a commit (it syncs twice): StoreCheckpoint makes them beside the commits.
      ok = Exec(*d, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0;") &&
           Exec(*d, kSchema);
      // The checkpoints' connection reads once: until a connection has read the database it does not
      // know it is in WAL mode, and a checkpoint on it does nothing (and says nothing).
      ok = ok && (sqlite3_open_v2(pPath, &d->checkpointer, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) ==
                      SQLITE_OK ||
                  Fail(*d, "a connection for the checkpoints"));
      ok = ok && (sqlite3_exec(d->checkpointer, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
                      SQLITE_OK ||
                  Fail(*d, "reading on the checkpoints' connection"));
      // Columns and index of the signatures, added once to a database of an older ledger.
      bool signedColumns = false;
      ok = ok && Query(*d, "SELECT 1 FROM pragma_table_info('documents') WHERE name = 'prevseq'",
                       [&signedColumns](sqlite3_stmt*) { signedColumns = true; });
      ok = ok && (signedColumns || Exec(*d, kSignedColumns)) && Exec(*d, kSignedIndex);
      ok = ok && (d->insertDoc = Prepare(*d, "INSERT INTO documents(wheel, seq, pos, epoch, captured, arrived, "
                                             "replayed, payload, game, phase, win, hash, prevseq, prev, key, sig) "
                                             "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")) &&
           (d->findDoc = Prepare(*d, "SELECT epoch, captured, prev, payload FROM documents WHERE wheel = ? AND seq = ?")) &&
           (d->findGame = Prepare(*d, "SELECT payload FROM documents WHERE wheel = ? AND seq = ?")) &&
           (d->findNext = Prepare(*d, "SELECT seq, prev FROM documents WHERE wheel = ? AND prevseq = ?")) &&
           (d->findFork = Prepare(*d, "SELECT epoch, captured, prev, payload FROM apart WHERE wheel = ? AND seq = ? "
                                      "AND kind = 'fork' AND length(payload) > 0")) &&
           (d->findApart = Prepare(*d, "SELECT 1 FROM apart WHERE wheel = ? AND seq = ? AND kind = ? AND epoch = ? "
                                       "AND sig = ? AND payload = ? LIMIT 1")) &&
           (d->insertApart = Prepare(*d, "INSERT INTO apart VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)")) &&
           (d->saveWheel = Prepare(*d, "INSERT OR REPLACE INTO wheels VALUES (?,?,?,?)")) &&
           (d->insertStatus = Prepare(*d, "INSERT INTO statuses VALUES (?,?,?)")) &&
           (d->saveSync = Prepare(*d, "INSERT OR REPLACE INTO syncs VALUES (1, ?)")) && Load(*d);
    } else {
      ok = Exec(*d, "SELECT 1 FROM documents LIMIT 0");
      if (ok && !Exec(*d, "SELECT prevseq FROM documents, apart LIMIT 0"))
        d->error = "the database of an older ledger: the ledger's next start brings it up to date", ok = false;
    }
    if (!ok) {
      *pError = std::string(pPath) + ": " + d->error;
      return nullptr;
    }
    return d.release();
  } catch (...) {
    *pError = std::string(pPath) + ": out of memory";
    return nullptr;
  }
}

void StoreDestroy(ThLedgerStore hInst) noexcept {
  if (!hInst) return;
  TStore* d = static_cast<TStore*>(hInst);
  if (d->inBatch) Exec(*d, "ROLLBACK");
  delete d;
}

const std::string& StoreError(ThLedgerStore hInst) noexcept { return Of(hInst).error; }

int StoreBegin(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  if (d.inBatch) return 0;
  if (!Exec(d, "BEGIN IMMEDIATE")) return -1;
  d.inBatch = true;
  return 0;
}

int StoreAdd(ThLedgerStore hInst, const TIncoming& doc) noexcept {
  try {
    return Add(Of(hInst), doc);
  } catch (...) {
    Of(hInst).error = "out of memory";
    return kFailed;
  }
}

int StoreStatus(ThLedgerStore hInst, std::uint32_t wheel, const std::string& payload,
                std::int64_t arrivedMs) noexcept {
  TStore& d = Of(hInst);
  return sqlite3_step(Bound(d.insertStatus.get(), wheel, arrivedMs, payload)) == SQLITE_DONE
             ? 0
             : (Fail(d, "storing a status"), -1);
}

int StoreCommit(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  if (!d.inBatch) return 0;
  try {
    bool ok = true;
    for (std::uint32_t wheel : d.touched) {
      const TWheel& w = d.wheels[wheel];
      ok = ok && (sqlite3_step(Bound(d.saveWheel.get(), wheel, w.duplicates, w.conflicts, w.missedGames)) ==
                      SQLITE_DONE ||
                  Fail(d, "storing a wheel's counts"));
    }
    d.touched.clear();
    if (ok && Exec(d, "COMMIT")) {
      d.inBatch = false;
      if (d.walFd < 0) OpenWal(d);
      return 0;
    }
    StoreRollback(hInst);
  } catch (...) {
    d.error = "out of memory";
  }
  return -1;
}

void StoreRollback(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  if (!d.inBatch) return;
  try {
    const std::string reason = d.error;
    Exec(d, "ROLLBACK");
    d.inBatch = false;
    d.touched.clear();
    Load(d);
    // What was confirmed stays confirmed; what the rollback took is confirmed again as it now is.
    for (auto& [wheel, w] : d.wheels) w.changed = true;
    d.error = reason;
  } catch (...) {
    d.error = "out of memory";
  }
}

int StoreSync(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  if (d.inBatch) return -1;
  // One small row in a transaction of its own, committed with FULL: the WAL is synced, and with it
  // every commit before this one.
  const bool ok = Exec(d, "PRAGMA synchronous=FULL") && Exec(d, "BEGIN IMMEDIATE") &&
                  (sqlite3_step(Bound(d.saveSync.get(), NowMs())) == SQLITE_DONE || Fail(d, "syncing")) &&
                  Exec(d, "COMMIT");
  const std::string reason = d.error;
  if (!ok && sqlite3_get_autocommit(d.db) == 0) Exec(d, "ROLLBACK");
  const bool normal = Exec(d, "PRAGMA synchronous=NORMAL");
  if (!ok) d.error = reason;  // the failure, not the rollback's
  return normal && ok ? 0 : -1;
}

int StoreWalDescriptor(ThLedgerStore hInst) noexcept { return Of(hInst).walFd; }

int StoreCheckpoint(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  return d.checkpointer && sqlite3_wal_checkpoint_v2(d.checkpointer, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                                     nullptr) == SQLITE_OK
             ? 0
             : -1;
}

std::map<std::uint32_t, TWheel>* StoreWheels(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  if (d.wheels.empty() && !d.insertDoc) {
    try {
      Load(d);
    } catch (...) {
    }
  }
  return &d.wheels;
}

std::vector<std::uint32_t> StoreWheelList(ThLedgerStore hInst) noexcept {
  std::vector<std::uint32_t> out;
  try {
    Query(Of(hInst), "SELECT DISTINCT wheel FROM documents ORDER BY wheel",
          [&out](sqlite3_stmt* s) { out.push_back(static_cast<std::uint32_t>(Int(s, 0))); });
  } catch (...) {
  }
  return out;
}

bool StoreWalk(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t fromPos, std::uint64_t toPos,
               const std::function<bool(const TStoredRecord&)>& visit) noexcept {
  TStore& d = Of(hInst);
  try {
    // Both tables share the wheel's chain positions: a record kept apart sits between the documents.
    TStatement s = Prepare(d, "SELECT pos, seq, epoch, captured, arrived, replayed, payload, hash, prev, key, sig, "
                              "'', '' FROM documents WHERE wheel = ?1 AND pos BETWEEN ?2 AND ?3 UNION ALL "
                              "SELECT pos, seq, epoch, captured, arrived, replayed, payload, hash, prev, key, sig, "
                              "kind, note FROM apart WHERE wheel = ?1 AND pos BETWEEN ?2 AND ?3 ORDER BY pos");
    if (!s) return false;
    Bound(s.get(), wheel, fromPos, std::min<std::uint64_t>(toPos, INT64_MAX));
    TStoredRecord rec;
    rec.r.wheel = wheel;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      rec.r.pos = Int(s.get(), 0);
      rec.r.seq = Int(s.get(), 1);
      rec.r.epoch = Int(s.get(), 2);
      rec.r.captured = Column(s.get(), 3);
      rec.r.arrivedMs = Int(s.get(), 4);
      rec.r.replayed = Int(s.get(), 5) != 0;
      rec.r.payload = Column(s.get(), 6);
      const std::string hash = Column(s.get(), 7);
      rec.r.prev = Column(s.get(), 8);
      rec.r.key = Column(s.get(), 9);
      rec.r.sig = Column(s.get(), 10);
      rec.r.kind = Column(s.get(), 11);
      rec.r.note = Column(s.get(), 12);
      rec.hash = THash{};
      std::memcpy(rec.hash.data(), hash.data(), std::min(hash.size(), rec.hash.size()));
      if (!visit(rec)) return false;
    }
    return rc == SQLITE_DONE || Fail(d, "reading the chain");
  } catch (...) {
    d.error = "out of memory";
    return false;
  }
}

bool StoreSelected(const TRange& range, const TRecord& r) {
  return range.bySeq ? r.seq >= range.fromSeq && r.seq <= range.toSeq
                     : r.arrivedMs >= range.fromMs && r.arrivedMs <= range.toMs;
}

bool StoreSegment(ThLedgerStore hInst, std::uint32_t wheel, const TRange& range, std::uint64_t* pFromPos,
                  std::uint64_t* pToPos, THash* pPrev) noexcept {
  TStore& d = Of(hInst);
  try {
    std::int64_t from = 0, to = 0;
    auto minMax = [&](sqlite3_stmt* s) {
      from = Int(s, 0);
      to = Int(s, 1);
    };
    const bool ok =
        range.bySeq
            ? Query(d, "SELECT MIN(pos), MAX(pos) FROM documents WHERE wheel = ? AND seq BETWEEN ? AND ?", minMax,
                    wheel, range.fromSeq, std::min<std::uint64_t>(range.toSeq, INT64_MAX))
            : Query(d, "SELECT MIN(pos), MAX(pos) FROM documents WHERE wheel = ? AND arrived BETWEEN ? AND ?",
                    minMax, wheel, range.fromMs, range.toMs);
    if (!ok || from <= 0) return false;
    *pFromPos = from;
    *pToPos = to;
    *pPrev = THash{};
    return Query(d, "SELECT hash FROM documents WHERE wheel = ? AND pos = ?", [pPrev](sqlite3_stmt* s) {
      const std::string hash = Column(s, 0);
      std::memcpy(pPrev->data(), hash.data(), std::min(hash.size(), pPrev->size()));
    }, wheel, from - 1);
  } catch (...) {
    return false;
  }
}

bool StoreBoxHash(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t seq, THash* pOut) noexcept {
  TStore& d = Of(hInst);
  try {
    auto it = d.wheels.find(wheel);
    if (it != d.wheels.end() && seq == it->second.highest && it->second.highestBoxHash.size() == pOut->size()) {
      std::memcpy(pOut->data(), it->second.highestBoxHash.data(), pOut->size());
      return true;
    }
    bool found = false;
    return Query(d, "SELECT epoch, captured, prev, payload FROM documents WHERE wheel = ? AND seq = ?",
                 [&](sqlite3_stmt* s) {
                   found = DocumentHash(wheel, seq, Int(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), pOut);
                 }, wheel, seq) &&
           found;
  } catch (...) {
    return false;
  }
}

std::vector<int> StoreWinningNumbers(ThLedgerStore hInst, std::uint32_t wheel, int nGames) noexcept {
  std::vector<int> out;
  try {
    // Newest first; a game's documents are consecutive, so the last of a run is the game's first. The
    // numbers come from the payloads, which the chain covers, not from the columns beside them.
    int game = -1, win = -1;
    TStatement s = Prepare(Of(hInst), "SELECT payload FROM documents WHERE wheel = ? ORDER BY seq DESC");
    if (!s) return out;
    Bound(s.get(), wheel);
    while (static_cast<int>(out.size()) < nGames && sqlite3_step(s.get()) == SQLITE_ROW) {
      const TGameFields f = ReadGameFields(Column(s.get(), 0));
      if (f.win < 0 || f.win > 36) continue;
      if (f.game != game && win >= 0) out.push_back(win);
      game = f.game;
      win = f.win;
    }
    if (static_cast<int>(out.size()) < nGames && win >= 0) out.push_back(win);
  } catch (...) {
  }
  return out;
}

}  // namespace ledger
