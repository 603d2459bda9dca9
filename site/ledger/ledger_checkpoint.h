// The ledger's signed checkpoints: per wheel, a C2SP signed note (kestrin_signature.h, TCheckpoint)
// stating that every document from seq 1 to N is stored, the box's hash of document N, the ledger's
// own chain head and the time, signed with the ledger's Ed25519 key. Each goes out in the wheel's
// confirmation and is appended to the checkpoint file: the notes one after the other, as signed,
// nothing between them (docs/reference/checkpoints.md). The boxes keep what they accepted; verify
// holds the database to the newest note of each wheel in the file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "ledger_chain.h"

typedef void* ThLedgerCheckpoints;

namespace ledger {

// The ledger's key (PKCS#8 PEM) named pName, the file opened for appending (made 0600 when missing);
// null, with the reason in *pError, when either fails.
ThLedgerCheckpoints CheckpointsInit(const char* pKeyPath, const char* pName, const char* pFile,
                                    std::string* pError) noexcept;
void CheckpointsDestroy(ThLedgerCheckpoints hInst) noexcept;

// The signed note of wheel at size (N), its box hash, the chain's head and the time; "" on failure.
std::string CheckpointSign(ThLedgerCheckpoints hInst, std::uint32_t wheel, std::uint64_t size, const THash& boxHash,
                           const THash& head, std::int64_t timeMs) noexcept;
// Appends notes (one or more, as signed) and syncs the file; 0 when done.
int CheckpointsAppend(ThLedgerCheckpoints hInst, const std::string& notes) noexcept;

// The ledger key's verifier key text (its public key), for the boxes' site.vkey.
std::string CheckpointsVkey(ThLedgerCheckpoints hInst) noexcept;
// The vkey of the key at pKeyPath named pName; "" with *pError when it cannot be read.
std::string LedgerVkey(const char* pKeyPath, const char* pName, std::string* pError) noexcept;

// The newest checkpoint of each wheel in the file at pPath whose signature verifies with pVkey (empty:
// none checked). False when the file cannot be read; a note that does not read ends the reading (a
// torn tail), *pBad counts notes whose signature does not verify.
struct TCheckpointSeen {
  std::uint64_t size = 0;
  THash boxHash{}, head{};
  std::int64_t timeMs = 0;
};
bool CheckpointsRead(const char* pPath, const std::string& vkey, std::map<std::uint32_t, TCheckpointSeen>* pOut,
                     std::uint64_t* pBad, std::string* pError) noexcept;

}  // namespace ledger
