// The store read document by document, for the verbs that look at documents rather than at the chain
// alone (show, audit, the bundle): each document with the game fields read when it was stored, the
// conflicting documents, and a check that the database can be read whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ledger_store.h"

namespace ledger {

struct TDocument {
  TRecord r;
  THash hash{};
  int game = -1, phase = -1, win = -1;  // read from the payload; -1 where absent
};

// A record kept apart from the wheel's documents: a conflict (a stored seq with other bytes, the same
// epoch), a fork (another epoch's document at a stored seq, or the note of seqs the box skipped), or a
// document that failed its signature or link check (rejected). Those of a ledger before signatures
// are conflicts outside the chain (pos 0).
struct TApart {
  TRecord r;  // r.kind: "conflict", "fork" or "rejected"; r.note the ledger's reason
  THash hash{};
};

// SQLite's quick check over every page: false with its first finding in StoreError when the database
// cannot be read whole (a garbled page, a file cut short).
bool StoreCheck(ThLedgerStore hInst) noexcept;
// The wheel's documents of seq fromSeq..toSeq in seq order (with the box's prev, key and sig where the
// database keeps them); false when visit returns false or the
// database fails (StoreError says so).
bool StoreDocuments(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t fromSeq, std::uint64_t toSeq,
                    const std::function<bool(const TDocument&)>& visit) noexcept;
// The wheel's records kept apart, by seq then arrival.
bool StoreApart(ThLedgerStore hInst, std::uint32_t wheel, std::vector<TApart>* pOut) noexcept;

}  // namespace ledger
