// The service entry's keys, found as the unit hands them over.
#include "kestrin_box_key.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "kestrin_console.h"

namespace box_key {
namespace {

std::string Env(const char* pName) {
  const char* pValue = std::getenv(pName);
  return pValue != nullptr ? pValue : "";
}

std::string KeyName() {
  std::string name = Env("KESTRIN_BOX_NAME");
  if (name.empty()) {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    name = host;
  }
  return name.empty() ? "kestrin-box" : name;
}

// The key file to use: "" for none.
std::string KeyPath(bool bInstalled) {
  if (std::string path = Env("KESTRIN_BOX_KEY"); !path.empty()) return path == "none" ? "" : path;
  if (std::string dir = Env("CREDENTIALS_DIRECTORY"); !dir.empty()) {
    const std::string path = dir + "/box.key";
    if (access(path.c_str(), F_OK) == 0 || !bInstalled) return path;
  }
  return bInstalled ? kInstalledKey : "";
}

const char* Why(int rc) {
  switch (rc) {
    case signature::kNoFile:
      return std::strerror(errno);
    case signature::kBadKey:
      return "no Ed25519 private key in PEM";
    case signature::kBadArgument:
      return "the key's name (the host name) cannot name a key";
    default:
      return "OpenSSL refused it";
  }
}

}  // namespace

ThKestrinKey LoadBoxKey() noexcept {
  try {
    const std::string path = KeyPath(false);
    if (path.empty()) {
      console::Notice("No box key: the documents are published unsigned\n");
      return nullptr;
    }
    ThKestrinKey hKey = nullptr;
    const int rc = signature::InitFromFile(path.c_str(), KeyName().c_str(), &hKey);
    if (rc == signature::kNoFile && errno == ENOENT) {
      console::Notice("No box key in %s: the documents are published unsigned\n", path.c_str());
      return nullptr;
    }
    if (rc != signature::kOk) {
      console::Warning("The box key %s cannot be used (%s): the documents are published unsigned\n",
                       path.c_str(), Why(rc));
      return nullptr;
    }
    char id[signature::kKeyIdSize];
    signature::KeyId(hKey, id, sizeof id);
    console::Notice("Documents signed with the box key %s (key %s)\n", path.c_str(), id);
    return hKey;
  } catch (...) {
    return nullptr;
  }
}

ThKestrinKey LoadSiteKey() noexcept {
  try {
    std::string path = Env("KESTRIN_SITE_VKEY");
    if (path.empty() && !Env("CREDENTIALS_DIRECTORY").empty()) path = Env("CREDENTIALS_DIRECTORY") + "/site.vkey";
    if (path.empty()) path = kInstalledSiteKey;
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.empty()) {
      console::Notice("No site key in %s: the site's checkpoints are not checked\n", path.c_str());
      return nullptr;
    }
    ThKestrinKey hKey = nullptr;
    if (signature::InitFromVkey(line.c_str(), &hKey) != signature::kOk) {
      console::Warning("The site key in %s is no verifier key: the site's checkpoints are not checked\n",
                       path.c_str());
      return nullptr;
    }
    return hKey;
  } catch (...) {
    return nullptr;
  }
}

int PrintKey() noexcept {
  try {
    const std::string path = KeyPath(true);
    if (path.empty()) {
      std::fprintf(stderr, "kestrin_bridged: KESTRIN_BOX_KEY=none: no box key\n");
      return 1;
    }
    ThKestrinKey hKey = nullptr;
    const int rc = signature::InitFromFile(path.c_str(), KeyName().c_str(), &hKey);
    if (rc != signature::kOk) {
      std::fprintf(stderr, "kestrin_bridged: the box key %s cannot be used: %s\n", path.c_str(), Why(rc));
      return 1;
    }
    char vkey[512], fingerprint[signature::kFingerprintSize];
    signature::Vkey(hKey, vkey, sizeof vkey);
    signature::Fingerprint(hKey, fingerprint, sizeof fingerprint);
    signature::Destroy(hKey);
    std::printf("%s\n%s\n", vkey, fingerprint);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

}  // namespace box_key
