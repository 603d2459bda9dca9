// `kestrin-ledger run`: the service. One thread of its own beside the client library's: it waits in
// one poll on the session's doorbell and the stop request, with the batch's deadline or the next
// reconnect as the time-out; stores each batch in one transaction; after each commit publishes the
// confirmation of every wheel whose figures changed.
#pragma once

#include <string>

#include "ledger_session.h"

namespace ledger {

struct TRunOptions {
  TSessionOptions session;
  std::string database;
  int batchMs = 50;      // a batch is committed this long after its first document at the latest
  int batchMax = 1000;   // or once it holds this many
};

// Runs until a stop signal; the exit status.
int Run(const TRunOptions& options);

// The account file's first line, "USER:PASSWORD"; false with the reason in *pError.
bool ReadAccount(const std::string& path, std::string* pUser, std::string* pPassword, std::string* pError);

}  // namespace ledger
