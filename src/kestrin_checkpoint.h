// The site's checkpoints as the box holds them: each one that comes on the wheel's ledger topic is
// checked with the site's key, compared with what this box sent (kestrin_chain), and kept: the newest
// accepted in DIRECTORY/WHEEL/checkpoints/newest.note and the first accepted of each day (UTC) in
// YYYY-MM-DD.note for kKeptDays days; one whose record differs is kept as differs-<time>.note. When the
// site's record differs from what the box sent, one line and the status topic say so (health).
#pragma once

#include <cstddef>

#include "kestrin_chain.h"
#include "kestrin_signature.h"

typedef void* ThKestrinCheckpoints;

namespace checkpoint {

// Take's results.
constexpr int kAccepted = 0;
constexpr int kAlreadyHeld = 1;      // the newest accepted, or older (a retained copy sent again)
constexpr int kNotAccepted = -1;     // no checkpoint of this wheel, or a signature that does not verify
constexpr int kDiffers = -2;         // the site's record differs from what this box sent
constexpr int kBadArgument = -3;

constexpr int kKeptDays = 30;

// hSiteKey (the site's public key) and hChain stay the caller's and outlive the handle; pTopic names
// the ledger topic in lines. Reads the newest accepted checkpoint back. Null for a wrong argument or
// when the directory cannot be made (a line says why).
ThKestrinCheckpoints Init(ThKestrinKey hSiteKey, ThKestrinChain hChain, const char* pDirectory,
                          const char* pWheel, const char* pTopic) noexcept;
void Destroy(ThKestrinCheckpoints hCheckpoints) noexcept;

// One signed note from the ledger topic. Any one thread at a time (the client library's).
int Take(ThKestrinCheckpoints hCheckpoints, const char* pNote, std::size_t nNote) noexcept;

}  // namespace checkpoint
