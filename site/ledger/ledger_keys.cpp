#include "ledger_keys.h"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "kestrin_signature.h"
#include "ledger_store.h"

namespace ledger {
namespace {

struct TKeyCloser {
  void operator()(void* h) const { signature::Destroy(h); }
};
using TKey = std::unique_ptr<void, TKeyCloser>;

struct TKeys {
  std::string path;
  struct stat seen {};
  bool exists = false;
  std::int64_t checkedMs = 0;
  std::map<std::uint32_t, std::string> boxOfWheel;
  struct TEntry {
    std::string box;
    TKey key;
  };
  std::map<std::string, TEntry> byId;  // key id -> its box and key
};

TKeys& Of(ThLedgerKeys h) { return *static_cast<TKeys*>(h); }

bool Same(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reads the file into *pOut; false with the line that does not read.
bool Read(const std::string& path, TKeys* pOut, std::string* pError) {
  std::ifstream in(path);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    std::istringstream words(line);
    std::string what, box;
    if (!(words >> what) || what[0] == '#') continue;
    words >> box;
    if (what == "wheels" && !box.empty()) {
      for (std::string serial; words >> serial;) {
        if (serial.empty() || serial.size() > 4 || serial.find_first_not_of("0123456789") != std::string::npos) {
          *pError = path + ":" + std::to_string(n) + ": '" + serial + "' is not a wheel serial";
          return false;
        }
        pOut->boxOfWheel[static_cast<std::uint32_t>(std::stoul(serial))] = box;
      }
      continue;
    }
    std::string vkey;
    ThKestrinKey h = nullptr;
    char id[signature::kKeyIdSize];
    if (what != "key" || box.empty() || !(words >> vkey) || signature::InitFromVkey(vkey.c_str(), &h) != signature::kOk) {
      *pError = path + ":" + std::to_string(n) + ": neither 'wheels BOX SERIAL...' nor 'key BOX VKEY'";
      return false;
    }
    TKey key(h);
    if (signature::KeyId(h, id, sizeof id) != signature::kOk) {
      *pError = path + ": out of memory";
      return false;
    }
    pOut->byId[id] = TKeys::TEntry{box, std::move(key)};
  }
  return true;
}

bool Load(TKeys& d, std::string* pError) {
  struct stat st {};
  if (stat(d.path.c_str(), &st) != 0) {
    d.exists = false;
    d.boxOfWheel.clear();
    d.byId.clear();
    return true;
  }
  TKeys fresh;
  if (!Read(d.path, &fresh, pError)) return false;
  d.boxOfWheel = std::move(fresh.boxOfWheel);
  d.byId = std::move(fresh.byId);
  d.seen = st;
  d.exists = true;
  return true;
}

}  // namespace

ThLedgerKeys KeysInit(const char* pPath, std::string* pError) noexcept {
  try {
    auto d = std::make_unique<TKeys>();
    d->path = pPath;
    if (!Load(*d, pError)) return nullptr;
    return d.release();
  } catch (...) {
    *pError = "out of memory";
    return nullptr;
  }
}

void KeysDestroy(ThLedgerKeys hInst) noexcept { delete static_cast<TKeys*>(hInst); }

bool KeysReload(ThLedgerKeys hInst, std::int64_t nowMs, std::string* pError, bool bNow) noexcept {
  TKeys& d = Of(hInst);
  if (!bNow && nowMs - d.checkedMs < 1000) return false;
  d.checkedMs = nowMs;
  try {
    struct stat st {};
    const bool exists = stat(d.path.c_str(), &st) == 0;
    if (exists == d.exists && (!exists || Same(st, d.seen))) return false;
    return Load(d, pError);
  } catch (...) {
    *pError = "out of memory";
    return false;
  }
}

std::size_t KeysCount(ThLedgerKeys hInst) noexcept { return Of(hInst).byId.size(); }

bool ReadPrev(const std::string& prev, std::uint64_t* pSeq, THash* pHash) {
  *pSeq = 0;
  *pHash = THash{};
  return prev.empty() || signature::ParsePrev(prev.c_str(), pSeq, pHash->data()) == signature::kOk;
}

namespace {
signature::TDocument Document(const std::string& wheel, std::uint64_t seq, std::uint64_t epoch,
                              const std::string& captured, std::uint64_t prevSeq, const THash& prevHash,
                              const std::string& payload) {
  signature::TDocument m;
  m.pWheel = wheel.c_str();
  m.nSeq = seq;
  m.nEpoch = epoch;
  m.pCaptured = captured.c_str();
  m.nPrevSeq = prevSeq;
  m.pPrevHash = prevHash.data();
  m.pPayload = reinterpret_cast<const unsigned char*>(payload.data());
  m.nPayload = payload.size();
  return m;
}
}  // namespace

bool DocumentHash(std::uint32_t wheel, std::uint64_t seq, std::uint64_t epoch, const std::string& captured,
                  const std::string& prev, const std::string& payload, THash* pOut) {
  std::uint64_t prevSeq;
  THash prevHash;
  const std::string serial = std::to_string(wheel);
  return ReadPrev(prev, &prevSeq, &prevHash) &&
         signature::Hash(Document(serial, seq, epoch, captured, prevSeq, prevHash, payload), pOut->data()) ==
             signature::kOk;
}

std::string KeysCheck(ThLedgerKeys hInst, const TIncoming& doc, bool bAnyBox) noexcept {
  try {
    TKeys& d = Of(hInst);
    if (doc.sig.empty() && doc.key.empty()) return "unsigned";
    const auto box = d.boxOfWheel.find(doc.wheel);
    if (!bAnyBox && box == d.boxOfWheel.end()) return "unknown key " + doc.key + ": wheel on no box of the keys file";
    const auto key = d.byId.find(doc.key);
    if (key == d.byId.end()) return "unknown key " + doc.key;
    if (!bAnyBox && key->second.box != box->second)
      return "unknown key " + doc.key + ": box " + key->second.box + "'s, not of box " + box->second;
    std::uint64_t prevSeq;
    THash prevHash;
    if (!ReadPrev(doc.prev, &prevSeq, &prevHash)) return "broken link: prev does not read";
    unsigned char sig[signature::kSignatureLength];
    std::size_t n = 0;
    if (signature::Base64Decode(doc.sig.c_str(), doc.sig.size(), sig, sizeof sig, &n) != signature::kOk ||
        n != sizeof sig)
      return "bad signature: sig does not read";
    const std::string serial = std::to_string(doc.wheel);
    return signature::VerifyDocument(key->second.key.get(),
                                     Document(serial, doc.seq, doc.epoch, doc.captured, prevSeq, prevHash, doc.payload),
                                     sig, nullptr) == signature::kOk
               ? ""
               : "bad signature";
  } catch (...) {
    return "out of memory";
  }
}

}  // namespace ledger
