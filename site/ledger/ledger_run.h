// `kestrin-ledger run`: the service, on two threads of its own beside the client library's.
// - The store's thread takes what arrives, commits it (a transaction for what waits, mostly one
//   document, since the library hands them over one at a time and waits for each commit) and
//   releases the waiting callback; every syncMs after a commit it syncs the database (one fsync for
//   all commits since) and only then makes the changed wheels' confirmations. It never calls the
//   client library, which holds its lock while a callback waits for this thread.
// - The main thread connects, reconnects, subscribes and publishes the confirmations, waiting in one
//   poll on the session's doorbell, the confirmations' doorbell and the stop request.
#pragma once

#include <string>

#include "ledger_session.h"

namespace ledger {

struct TRunOptions {
  TSessionOptions session;
  std::string database;
  int syncMs = 50;  // the longest a commit waits for its sync and its confirmation
};

// Runs until a stop signal; the exit status.
int Run(const TRunOptions& options);

// The account file's first line, "USER:PASSWORD"; false with the reason in *pError.
bool ReadAccount(const std::string& path, std::string* pUser, std::string* pPassword, std::string* pError);

}  // namespace ledger
