// The store's record; only ledger_store.cpp (and its tests) see it.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <map>
#include <set>
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
  int walFd = -1;  // the WAL file, for StoreWalDescriptor; opened after the first commit
  sqlite3* checkpointer = nullptr;  // a connection of StoreCheckpoint's own
  TStatement insertDoc, findDoc, findGame, findNext, findFork, findApart, insertApart, saveWheel, insertStatus, saveSync;
  std::map<std::uint32_t, TWheel> wheels;
  std::set<std::uint32_t> touched;  // wheels whose counts the open batch changed
  ~TStore() {
    insertDoc.reset();
    findDoc.reset();
    findGame.reset();
    findNext.reset();
    findFork.reset();
    findApart.reset();
    insertApart.reset();
    saveWheel.reset();
    insertStatus.reset();
    saveSync.reset();
    if (checkpointer) sqlite3_close(checkpointer);
    if (db) sqlite3_close(db);  // the last connection: SQLite checkpoints the WAL whole
    if (walFd >= 0) close(walFd);
  }
};

}  // namespace ledger
