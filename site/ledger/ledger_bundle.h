// What the bundle's writer (ledger_bundle.cpp) and its verifier (ledger_bundle_verify.cpp) share: the
// format's name and a record's members (docs/reference/bundle.md).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "ledger_chain.h"

namespace ledger {

constexpr const char* kBundleFormat = "kestrin-ledger-bundle/1";

// A record's or a conflict's members as the bundle writes them; kind, note and the box's properties
// (docprev, key, sig) only when not empty.
Json::Value BundleMembers(const TRecord& r);
// A record read back strictly: the text the writer writes and nothing else; pPrev and pHash may be
// null (a conflict outside the chain has neither, nor pos).
bool ReadBundleRecord(const Json::Value& v, std::uint32_t wheel, TRecord* pR, THash* pPrev, THash* pHash);

}  // namespace ledger
