// The hash chain of a wheel's records. Each record's hash is SHA-256 over the previous record's hash
// and the record's own fields, laid out as below, so a verifier needs nothing but the records:
//
//   prev      32 bytes  the wheel's previous record's hash; 32 zero bytes before its first record
//   wheel      4 bytes  the wheel's serial, unsigned, big-endian
//   pos        8 bytes  the record's place in the wheel's chain, 1 for the first, unsigned, big-endian
//   seq        8 bytes  the document's number (property "seq"), unsigned, big-endian
//   epoch      8 bytes  property "epoch", unsigned, big-endian
//   arrived    8 bytes  arrival at the ledger, ms since 1970-01-01T00:00:00Z, signed, big-endian
//   replayed   1 byte   1 when property "replayed" was "1", else 0
//   captured   2 bytes  length, big-endian, then the property "captured" as received
//   payload    4 bytes  length, big-endian, then the payload bytes exactly as published
//
// The chain follows the order the ledger stored the records in (pos), not seq: a replayed document
// that fills an old gap is appended at the end. A record the ledger keeps apart (a conflict, a fork, a
// document that failed its checks; kind not empty) takes its place in the same chain, and its bytes go
// on after the payload's:
//
//   kind       1 byte   length, then the kind: "conflict", "fork" or "rejected"
//   note       2 bytes  length, big-endian, then the ledger's note (the reason, the fork's seqs)
//   prev, key, sig      each 2 bytes length, big-endian, then the property as received
//
// A stored document's own properties prev, key and sig are not hashed: its box's signature covers
// prev, and verify checks each signature again with the box's key.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ledger {

using THash = std::array<unsigned char, 32>;

struct TRecord {
  std::uint32_t wheel = 0;
  std::uint64_t pos = 0;
  std::uint64_t seq = 0;
  std::uint64_t epoch = 0;
  std::int64_t arrivedMs = 0;
  bool replayed = false;
  std::string captured;
  std::string payload;
  std::string prev, key, sig;  // the properties as received; empty when absent
  std::string kind, note;      // empty for a stored document
};

// The bytes hashed for record r after prev (the layout above).
std::string HashedBytes(const THash& prev, const TRecord& r);
// SHA-256 of HashedBytes(prev, r). False only when the crypto library fails.
bool RecordHash(const THash& prev, const TRecord& r, THash* pOut) noexcept;

std::string HashHex(const THash& h);
// False unless text is exactly 64 hex digits.
bool HashFromHex(const std::string& text, THash* pOut);

}  // namespace ledger
