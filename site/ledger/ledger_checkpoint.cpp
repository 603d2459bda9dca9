#include "ledger_checkpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "kestrin_signature.h"

namespace ledger {
namespace {

struct TKeyCloser {
  void operator()(void* h) const { signature::Destroy(h); }
};
using TKey = std::unique_ptr<void, TKeyCloser>;

struct TCheckpoints {
  TKey key;
  std::string name;
  int fd = -1;
  ~TCheckpoints() {
    if (fd >= 0) close(fd);
  }
};

TCheckpoints& Of(ThLedgerCheckpoints h) { return *static_cast<TCheckpoints*>(h); }

std::string KeyError(int rc, const char* path) {
  return std::string(path) + ": " +
         (rc == signature::kNoFile ? std::strerror(errno)
          : rc == signature::kBadArgument ? "the key's name is not a signed note's key name"
                                          : "no Ed25519 private key (PKCS#8 PEM) there");
}

std::string VkeyOf(ThKestrinKey h) {
  char text[signature::kMaxNameLength + 64];
  return signature::Vkey(h, text, sizeof text) == signature::kOk ? std::string(text) : std::string();
}

}  // namespace

ThLedgerCheckpoints CheckpointsInit(const char* pKeyPath, const char* pName, const char* pFile,
                                    std::string* pError) noexcept {
  try {
    auto d = std::make_unique<TCheckpoints>();
    ThKestrinKey h = nullptr;
    const int rc = signature::InitFromFile(pKeyPath, pName, &h);
    if (rc != signature::kOk) {
      *pError = KeyError(rc, pKeyPath);
      return nullptr;
    }
    d->key.reset(h);
    d->name = pName;
    d->fd = open(pFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (d->fd < 0) {
      *pError = std::string(pFile) + ": " + std::strerror(errno);
      return nullptr;
    }
    return d.release();
  } catch (...) {
    *pError = "out of memory";
    return nullptr;
  }
}

void CheckpointsDestroy(ThLedgerCheckpoints hInst) noexcept { delete static_cast<TCheckpoints*>(hInst); }

std::string CheckpointSign(ThLedgerCheckpoints hInst, std::uint32_t wheel, std::uint64_t size, const THash& boxHash,
                           const THash& head, std::int64_t timeMs) noexcept {
  try {
    TCheckpoints& d = Of(hInst);
    signature::TCheckpoint c;
    std::snprintf(c.origin, sizeof c.origin, "%s/kestrin-ledger/wheel/%u", d.name.c_str(), wheel);
    c.nSize = size;
    std::memcpy(c.hash, boxHash.data(), sizeof c.hash);
    std::memcpy(c.head, head.data(), sizeof c.head);
    c.nTimeMs = timeMs;
    char body[512], note[1024];
    std::size_t nBody = 0, nNote = 0;
    if (signature::FormatCheckpoint(c, body, sizeof body, &nBody) != signature::kOk ||
        signature::SignNote(d.key.get(), body, nBody, note, sizeof note, &nNote) != signature::kOk)
      return {};
    return std::string(note, nNote);
  } catch (...) {
    return {};
  }
}

int CheckpointsAppend(ThLedgerCheckpoints hInst, const std::string& notes) noexcept {
  TCheckpoints& d = Of(hInst);
  // A write cut short (a full disk) would leave half a note, and the next notes appended after it
  // would read as one whose signature fails: the file is cut back to its whole notes.
  const off_t nBefore = lseek(d.fd, 0, SEEK_END);
  if (nBefore < 0) return -1;
  for (std::size_t at = 0; at < notes.size();) {
    const ssize_t n = write(d.fd, notes.data() + at, notes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int nError = n < 0 ? errno : ENOSPC;
      // Should the cut fail too, a reader stops at the half note.
      [[maybe_unused]] const int nCut = ftruncate(d.fd, nBefore);
      errno = nError;
      return -1;
    }
    at += static_cast<std::size_t>(n);
  }
  return fdatasync(d.fd) == 0 ? 0 : -1;
}

std::string CheckpointsVkey(ThLedgerCheckpoints hInst) noexcept {
  try {
    return VkeyOf(Of(hInst).key.get());
  } catch (...) {
    return {};
  }
}

std::string LedgerVkey(const char* pKeyPath, const char* pName, std::string* pError) noexcept {
  try {
    ThKestrinKey h = nullptr;
    const int rc = signature::InitFromFile(pKeyPath, pName, &h);
    if (rc != signature::kOk) {
      *pError = KeyError(rc, pKeyPath);
      return {};
    }
    TKey key(h);
    return VkeyOf(h);
  } catch (...) {
    *pError = "out of memory";
    return {};
  }
}

bool CheckpointsRead(const char* pPath, const std::string& vkey, std::map<std::uint32_t, TCheckpointSeen>* pOut,
                     std::uint64_t* pBad, std::string* pError) noexcept {
  try {
    std::ifstream in(pPath, std::ios::binary);
    if (!in) {
      *pError = std::string(pPath) + ": " + std::strerror(errno);
      return false;
    }
    TKey key;
    if (!vkey.empty()) {
      ThKestrinKey h = nullptr;
      if (signature::InitFromVkey(vkey.c_str(), &h) != signature::kOk) {
        *pError = "'" + vkey + "' is not a verifier key";
        return false;
      }
      key.reset(h);
    }
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    static const std::string kDash = "\xE2\x80\x94 ";
    // A note: five lines of body, an empty line, then its signature lines (each "\u2014 ...").
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = at;
      for (int i = 0; i < 6 && end != std::string::npos; ++i) {
        end = text.find('\n', end);
        if (end != std::string::npos) ++end;
      }
      if (end == std::string::npos || text[end - 2] != '\n') break;
      std::size_t next = end;
      while (text.compare(next, kDash.size(), kDash) == 0) {
        const std::size_t nl = text.find('\n', next);
        if (nl == std::string::npos) break;
        next = nl + 1;
      }
      if (next == end) break;
      signature::TCheckpoint c;
      const std::size_t nBody = end - 1 - at;
      if (signature::ParseCheckpoint(text.data() + at, nBody, &c) != signature::kOk) break;
      const char* slash = std::strrchr(c.origin, '/');
      const std::uint32_t wheel = static_cast<std::uint32_t>(std::strtoul(slash ? slash + 1 : "", nullptr, 10));
      if (key && signature::VerifyNote(key.get(), text.data() + at, next - at, nullptr) != signature::kOk) {
        ++*pBad;
      } else {
        TCheckpointSeen& seen = (*pOut)[wheel];
        if (c.nTimeMs >= seen.timeMs) {
          seen.size = c.nSize;
          std::memcpy(seen.boxHash.data(), c.hash, seen.boxHash.size());
          std::memcpy(seen.head.data(), c.head, seen.head.size());
          seen.timeMs = c.nTimeMs;
        }
      }
      at = next;
    }
    return true;
  } catch (...) {
    *pError = "out of memory";
    return false;
  }
}

}  // namespace ledger
