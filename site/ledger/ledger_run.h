// `kestrin-ledger run`: the service.
// - On the client library's thread, each document is committed (a transaction of its own, synchronous
//   NORMAL: a write to the WAL file, no sync) before its callback returns and the broker gets its
//   acknowledgement (see ledger_session.h).
// - Each document's signature is checked (ledger_keys.h) before it is stored; one that fails is kept
//   apart (ledger_store.h).
//   acknowledgement (see ledger_session.h). One that cannot be stored is held, with what follows, and
//   the session ends until the held ones are stored (ledger_intake.h).
// - The main thread connects, reconnects and subscribes; at most syncMs after a commit it takes the
//   changed wheels' confirmations, syncs the WAL file (one fdatasync for every commit before it, with
//   no lock held, so no commit waits for the disk) and only then publishes them: a box releases no
//   document that a power cut could still take. Each confirmation carries the wheel's signed
//   checkpoint, appended to the checkpoint file and synced before it goes (ledger_checkpoint.h). Every second while documents come it has the WAL
//   copied into the database (a checkpoint, on a connection of its own, beside the commits). It waits
//   in one poll on the session's doorbell, the commits' doorbell and the stop request.
// The store's lock is held only around the store's own calls, never across a call of the library.
#pragma once

#include <string>

#include "ledger_session.h"

namespace ledger {

struct TRunOptions {
  TSessionOptions session;
  std::string database;
  int syncMs = 50;  // the longest a commit waits for its sync and its confirmation
  std::string keys;         // the boxes' keys file (ledger_keys.h)
  std::string ledgerKey;    // the ledger's own key (PKCS#8 PEM); empty: no checkpoints
  std::string name;         // the ledger key's name, the checkpoints' site name
  std::string checkpoints;  // the checkpoint file, appended to
};

// Runs until a stop signal; the exit status.
int Run(const TRunOptions& options);

// The account file's first line, "USER:PASSWORD"; false with the reason in *pError.
bool ReadAccount(const std::string& path, std::string* pUser, std::string* pPassword, std::string* pError);

}  // namespace ledger
