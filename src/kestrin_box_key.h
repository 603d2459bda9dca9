// Where the service entry's keys come from: the box's own private key, which signs every document,
// and the site's public key, which checks the site's checkpoints. Both are read once at start and kept
// in memory only; neither is ever named on a command line or printed but as its public parts.
#pragma once

#include "kestrin_signature.h"

namespace box_key {

// The box key: $KESTRIN_BOX_KEY (a PEM file; "none": unsigned), else $CREDENTIALS_DIRECTORY/box.key
// (systemd's LoadCredential=). Its name is $KESTRIN_BOX_NAME, else the host name. Null when there is
// none or it cannot be used: one line says so, and that the documents go unsigned.
ThKestrinKey LoadBoxKey() noexcept;

// The site's verifier key: the first line of $KESTRIN_SITE_VKEY, else of $CREDENTIALS_DIRECTORY/site.vkey
// (the unit hands /etc/kestrin-bridge/site.vkey over so), else of /etc/kestrin-bridge/site.vkey. Null
// when there is none, it is empty or it does not read (one line says so: checkpoints are not checked).
ThKestrinKey LoadSiteKey() noexcept;

// --print-key: the box key's verifier key line and fingerprint on standard output, from
// $KESTRIN_BOX_KEY, else $CREDENTIALS_DIRECTORY/box.key, else /etc/kestrin-bridge/box.key. Returns the
// exit status: 0, or 1 with the reason on standard error.
int PrintKey() noexcept;

constexpr const char* kInstalledKey = "/etc/kestrin-bridge/box.key";
constexpr const char* kInstalledSiteKey = "/etc/kestrin-bridge/site.vkey";

}  // namespace box_key
