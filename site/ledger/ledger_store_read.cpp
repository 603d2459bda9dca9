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

// Whether the database has the table (and column): a ledger's database from before signatures has
// neither the box's properties nor the table of what is kept apart.
bool Has(TStore& d, const char* table, const char* column) {
  bool found = false;
  const std::string sql = std::string("SELECT 1 FROM pragma_table_info('") + table + "')" +
                          (column ? std::string(" WHERE name = '") + column + "'" : std::string());
  return Rows(d, sql.c_str(), {}, [&found](sqlite3_stmt*) { return found = true; }) && found;
}

void ReadRecord(sqlite3_stmt* s, TRecord* pR, THash* pHash) {
  pR->pos = sqlite3_column_int64(s, 0);
  pR->seq = sqlite3_column_int64(s, 1);
  pR->epoch = sqlite3_column_int64(s, 2);
  pR->captured = Text(s, 3);
  pR->arrivedMs = sqlite3_column_int64(s, 4);
  pR->replayed = sqlite3_column_int64(s, 5) != 0;
  pR->payload = Text(s, 6);
  const std::string hash = Text(s, 7);
  *pHash = THash{};
  std::memcpy(pHash->data(), hash.data(), std::min(hash.size(), pHash->size()));
  pR->prev = Text(s, 8);
  pR->key = Text(s, 9);
  pR->sig = Text(s, 10);
  pR->kind = Text(s, 11);
  pR->note = Text(s, 12);
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
    const std::string sql =
        std::string("SELECT pos, seq, epoch, captured, arrived, replayed, payload, hash, ") +
        (Has(d, "documents", "sig") ? "prev, key, sig" : "'', '', ''") +
        ", '', '' FROM documents WHERE wheel = ? AND seq BETWEEN ? AND ? ORDER BY seq";
    const bool ok = Rows(d, sql.c_str(),
                         {wheel, static_cast<std::int64_t>(std::min<std::uint64_t>(fromSeq, INT64_MAX)),
                          static_cast<std::int64_t>(std::min<std::uint64_t>(toSeq, INT64_MAX))},
                         [&](sqlite3_stmt* s) {
                           ReadRecord(s, &doc.r, &doc.hash);
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

bool StoreApart(ThLedgerStore hInst, std::uint32_t wheel, std::vector<TApart>* pOut) noexcept {
  TStore& d = Of(hInst);
  try {
    auto take = [pOut, wheel](sqlite3_stmt* s) {
      TApart a;
      a.r.wheel = wheel;
      ReadRecord(s, &a.r, &a.hash);
      pOut->push_back(std::move(a));
      return true;
    };
    const bool ok =
        Rows(d, "SELECT 0, seq, epoch, captured, arrived, replayed, payload, '', '', '', '', 'conflict', '' "
                "FROM conflicts WHERE wheel = ?", {wheel}, take) &&
        (!Has(d, "apart", nullptr) ||
         Rows(d, "SELECT pos, seq, epoch, captured, arrived, replayed, payload, hash, prev, key, sig, kind, note "
                 "FROM apart WHERE wheel = ?", {wheel}, take));
    std::stable_sort(pOut->begin(), pOut->end(), [](const TApart& a, const TApart& b) {
      return a.r.seq != b.r.seq ? a.r.seq < b.r.seq : a.r.arrivedMs < b.r.arrivedMs;
    });
    return ok;
  } catch (...) {
    d.error = "out of memory";
    return false;
  }
}

}  // namespace ledger
