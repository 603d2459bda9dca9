// Part of the store module (it reads the store's record); the queries the look-ups need.
#include "ledger_store_read.h"

#include <algorithm>
#include <cstring>

#include "ledger_store_l.h"

namespace ledger {
namespace {

TStore& Of(ThLedgerStore h) { return *static_cast<TStore*>(h); }

std::string Text(sqlite3_stmt* s, int i) {
  const void* p = sqlite3_column_blob(s, i);
  return std::string(static_cast<const char*>(p), p ? static_cast<std::size_t>(sqlite3_column_bytes(s, i)) : 0);
}

// Runs sql with the integer arguments, each row to row(); false with the reason in d.error.
bool Rows(TStore& d, const char* sql, std::initializer_list<std::int64_t> args,
          const std::function<bool(sqlite3_stmt*)>& row) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(d.db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    d.error = std::string("reading the database: ") + sqlite3_errmsg(d.db);
    sqlite3_finalize(raw);
    return false;
  }
  TStatement s(raw);
  int i = 1;
  for (std::int64_t a : args) sqlite3_bind_int64(raw, i++, a);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
    if (!row(raw)) return false;
  if (rc == SQLITE_DONE) return true;
  d.error = std::string("reading the database: ") + sqlite3_errmsg(d.db);
  return false;
}

}  // namespace

bool StoreCheck(ThLedgerStore hInst) noexcept {
  TStore& d = Of(hInst);
  try {
    std::string finding;
    const bool read = Rows(d, "PRAGMA quick_check(1)", {}, [&finding](sqlite3_stmt* s) {
      finding = Text(s, 0);
      return true;
    });
    if (!read) return false;
    if (finding == "ok") return true;
    std::replace(finding.begin(), finding.end(), '\n', ' ');
    d.error = "the database is damaged and cannot be read whole (" + finding + ")";
    return false;
  } catch (...) {
    d.error = "out of memory";
    return false;
  }
}

bool StoreDocuments(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t fromSeq, std::uint64_t toSeq,
                    const std::function<bool(const TDocument&)>& visit) noexcept {
  TStore& d = Of(hInst);
  try {
    TDocument doc;
    doc.r.wheel = wheel;
    bool stopped = false;
    const bool ok = Rows(d,
                         "SELECT pos, seq, epoch, captured, arrived, replayed, payload, hash "
                         "FROM documents WHERE wheel = ? AND seq BETWEEN ? AND ? ORDER BY seq",
                         {wheel, static_cast<std::int64_t>(std::min<std::uint64_t>(fromSeq, INT64_MAX)),
                          static_cast<std::int64_t>(std::min<std::uint64_t>(toSeq, INT64_MAX))},
                         [&](sqlite3_stmt* s) {
                           doc.r.pos = sqlite3_column_int64(s, 0);
                           doc.r.seq = sqlite3_column_int64(s, 1);
                           doc.r.epoch = sqlite3_column_int64(s, 2);
                           doc.r.captured = Text(s, 3);
                           doc.r.arrivedMs = sqlite3_column_int64(s, 4);
                           doc.r.replayed = sqlite3_column_int64(s, 5) != 0;
                           doc.r.payload = Text(s, 6);
                           const std::string hash = Text(s, 7);
                           doc.hash = THash{};
                           std::memcpy(doc.hash.data(), hash.data(), std::min(hash.size(), doc.hash.size()));
                           // From the payload, which the chain covers, not the columns beside it.
                           const TGameFields f = ReadGameFields(doc.r.payload);
                           doc.game = f.game, doc.phase = f.phase, doc.win = f.win;
                           stopped = !visit(doc);
                           return !stopped;
                         });
    return ok && !stopped;
  } catch (...) {
    d.error = "out of memory";
    return false;
  }
}

bool StoreConflicts(ThLedgerStore hInst, std::uint32_t wheel, std::vector<TConflict>* pOut) noexcept {
  TStore& d = Of(hInst);
  try {
    return Rows(d,
                "SELECT seq, epoch, captured, arrived, replayed, payload FROM conflicts WHERE wheel = ? "
                "ORDER BY seq, arrived",
                {wheel}, [pOut](sqlite3_stmt* s) {
                  TConflict c;
                  c.seq = sqlite3_column_int64(s, 0);
                  c.epoch = sqlite3_column_int64(s, 1);
                  c.captured = Text(s, 2);
                  c.arrivedMs = sqlite3_column_int64(s, 3);
                  c.replayed = sqlite3_column_int64(s, 4) != 0;
                  c.payload = Text(s, 5);
                  pOut->push_back(std::move(c));
                  return true;
                });
  } catch (...) {
    d.error = "out of memory";
    return false;
  }
}

}  // namespace ledger
