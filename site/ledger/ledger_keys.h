// The boxes' keys as the ledger knows them, and the checks of a document's signature. kestrin-site
// writes the file (docs/reference/kestrin-site.md, "The boxes' keys"): one line per box with the
// wheels its account may write, one line per key a box has had (the newest last; an old key stays,
// for the documents it signed):
//
//   wheels BOX SERIAL...
//   key BOX VKEY
//
// A document is good when its `key` property names a key of the box that writes its wheel and its
// `sig` verifies over its signed bytes (kestrin_signature.h, M) with that key.
#pragma once

#include <cstdint>
#include <string>

#include "ledger_chain.h"

typedef void* ThLedgerKeys;

namespace ledger {

struct TIncoming;

// Reads the file at pPath; a file that is not there is a fleet without keys (every document fails its
// check). Null, with the reason in *pError, only for a file that does not read.
ThLedgerKeys KeysInit(const char* pPath, std::string* pError) noexcept;
void KeysDestroy(ThLedgerKeys hInst) noexcept;
// Reads the file again when it changed (its time, size or inode), at most once a second; true when it
// did; bNow: whatever the time since the last look (a document of a key or wheel not known yet). A
// file that no longer reads leaves the keys as they were (*pError says why).
bool KeysReload(ThLedgerKeys hInst, std::int64_t nowMs, std::string* pError, bool bNow = false) noexcept;
// The number of keys known.
std::size_t KeysCount(ThLedgerKeys hInst) noexcept;

// Why doc fails its signature check, "" when it passes. bAnyBox: any key of the file will do (verify,
// for documents of a wheel that has moved since), not only those of the box that writes the wheel now.
std::string KeysCheck(ThLedgerKeys hInst, const TIncoming& doc, bool bAnyBox) noexcept;

// The `prev` property read into *pSeq and *pHash (0 and zeros when empty); false when it does not read.
bool ReadPrev(const std::string& prev, std::uint64_t* pSeq, THash* pHash);
// H: SHA-256 of the document's signed bytes M; false when they do not fit the layout.
bool DocumentHash(std::uint32_t wheel, std::uint64_t seq, std::uint64_t epoch, const std::string& captured,
                  const std::string& prev, const std::string& payload, THash* pOut);

}  // namespace ledger
