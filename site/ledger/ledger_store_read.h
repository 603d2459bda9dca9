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

// A document that came with a seq already stored and other bytes; never in the chain.
struct TConflict {
  std::uint64_t seq = 0, epoch = 0;
  std::string captured, payload;
  std::int64_t arrivedMs = 0;
  bool replayed = false;
};

// SQLite's quick check over every page: false with its first finding in StoreError when the database
// cannot be read whole (a garbled page, a file cut short).
bool StoreCheck(ThLedgerStore hInst) noexcept;
// The wheel's documents of seq fromSeq..toSeq in seq order; false when visit returns false or the
// database fails (StoreError says so).
bool StoreDocuments(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t fromSeq, std::uint64_t toSeq,
                    const std::function<bool(const TDocument&)>& visit) noexcept;
// The wheel's conflicting documents, by seq then arrival.
bool StoreConflicts(ThLedgerStore hInst, std::uint32_t wheel, std::vector<TConflict>* pOut) noexcept;

}  // namespace ledger
