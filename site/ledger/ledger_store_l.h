// The store's record; only ledger_store.cpp (and its tests) see it.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <string>

#include "ledger_checks.h"

namespace ledger {

struct TStatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementDeleter>;

struct TStore {
  sqlite3* db = nullptr;
  std::string error;
  bool inBatch = false;
  TStatement insertDoc, findDoc, findGame, insertConflict, findConflict, saveWheel, insertStatus;
  std::map<std::uint32_t, TWheel> wheels;
  ~TStore() {
    insertDoc.reset();
    findDoc.reset();
    findGame.reset();
    insertConflict.reset();
    findConflict.reset();
    saveWheel.reset();
    insertStatus.reset();
    if (db) sqlite3_close(db);
  }
};

}  // namespace ledger
