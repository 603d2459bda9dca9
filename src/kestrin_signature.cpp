// Keys, the document's signed bytes and the signed note, over OpenSSL's EVP interface (Ed25519 is
// deterministic: the same key and bytes give the same signature, so a replayed document is signed
// again identically).
#include "kestrin_signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace signature {
namespace {

struct TPkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct TMdFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct TBioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
using TPkey = std::unique_ptr<EVP_PKEY, TPkeyFree>;

using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdFree>;

struct TKey {
  TPkey pkey;
  std::string name;
  unsigned char pub[kPublicKeyLength] = {};
  bool bPrivate = false;
  // A context set up once and used for every signature (and one for every verification): setting one
  // up costs as much as a signature whose code and tables are out of the cache, as they are at a
  // document every 200 ms. OpenSSL 3.0 signs again with it; one that asks for a fresh set-up gets it.
  std::mutex signing, verifying;
  TMdCtx pSignCtx, pVerifyCtx;
};

// "\u2014 " in UTF-8: a signature line's start.
constexpr char kSigLineStart[] = "\xE2\x80\x94 ";
constexpr std::size_t kSigLineStartLength = 4;
constexpr char kDigits[] = "0123456789abcdef";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool ValidName(const char* p) {
  if (p == nullptr) return false;
  const std::size_t n = std::strlen(p);
  if (n == 0 || n > kMaxNameLength) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c <= ' ' || c == '+' || c == 0x7F) return false;
  }
  return true;
}

void Sha256(const void* p, std::size_t n, unsigned char* pOut) {
  EVP_Digest(p, n, pOut, nullptr, EVP_sha256(), nullptr);
}

// keyhash: the first 4 bytes of SHA-256(name || "\n" || 0x01 || key).
void KeyHash(const TKey& k, unsigned char* pOut) {
  std::string text = k.name;
  text += '\n';
  text += '\x01';
  text.append(reinterpret_cast<const char*>(k.pub), kPublicKeyLength);
  unsigned char hash[kHashLength];
  Sha256(text.data(), text.size(), hash);
  std::memcpy(pOut, hash, 4);
}

// Takes pkey into a handle, with its public key; a key of another kind is kBadKey.
int Adopt(TPkey pkey, const char* pName, bool bPrivate, ThKestrinKey* phKey) {
  if (!pkey) return kBadKey;
  if (EVP_PKEY_id(pkey.get()) != EVP_PKEY_ED25519) return kBadKey;
  auto pKey = std::make_unique<TKey>();
  std::size_t nPub = kPublicKeyLength;
  if (EVP_PKEY_get_raw_public_key(pkey.get(), pKey->pub, &nPub) != 1 || nPub != kPublicKeyLength)
    return kBadKey;
  pKey->pkey = std::move(pkey);
  pKey->name = pName;
  pKey->bPrivate = bPrivate;
  *phKey = pKey.release();
  return kOk;
}

TKey* KeyOf(ThKestrinKey h) { return static_cast<TKey*>(h); }

// An encrypted key is no key here: OpenSSL's own answer would ask for its pass phrase on the terminal.
int NoPassPhrase(char*, int, int, void*) { return 0; }

void Put(std::vector<unsigned char>& out, std::uint64_t n, int nBytes) {
  for (int i = nBytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(n >> (8 * i)));
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number without sign or leading zero ("0" itself allowed when bZero) that fits 64 bits.
bool ParseDecimal(const char* p, std::size_t n, bool bZero, std::uint64_t* pnValue) {
  if (n == 0 || n > 20 || (p[0] == '0' && (n > 1 || !bZero))) return false;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    const std::uint64_t d = static_cast<std::uint64_t>(p[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *pnValue = v;
  return true;
}

int BuildM(const TDocument& d, std::vector<unsigned char>& m) {
  const std::size_t n = SignedLength(d);
  if (n == 0) return kBadArgument;
  m.clear();
  m.reserve(n);
  m.insert(m.end(), kDomain, kDomain + std::strlen(kDomain) + 1);
  const std::size_t nWheel = std::strlen(d.pWheel), nCaptured = std::strlen(d.pCaptured);
  Put(m, nWheel, 2);
  m.insert(m.end(), d.pWheel, d.pWheel + nWheel);
  Put(m, d.nSeq, 8);
  Put(m, d.nEpoch, 8);
  Put(m, nCaptured, 2);
  m.insert(m.end(), d.pCaptured, d.pCaptured + nCaptured);
  Put(m, d.nPrevSeq, 8);
  if (d.nPrevSeq != 0)
    m.insert(m.end(), d.pPrevHash, d.pPrevHash + kHashLength);
  else
    m.insert(m.end(), kHashLength, 0);
  Put(m, d.nPayload, 4);
  if (d.nPayload > 0) m.insert(m.end(), d.pPayload, d.pPayload + d.nPayload);
  return kOk;
}

// The signing thread's scratch for M, so that a document costs no allocation once warm.
std::vector<unsigned char>& Scratch() {
  thread_local std::vector<unsigned char> m;
  return m;
}

}  // namespace

int InitFromFile(const char* pPath, const char* pName, ThKestrinKey* phKey) noexcept {
  if (pPath == nullptr || phKey == nullptr || !ValidName(pName)) return kBadArgument;
  try {
    std::FILE* pFile = std::fopen(pPath, "re");
    if (pFile == nullptr) return kNoFile;
    TPkey pkey(PEM_read_PrivateKey(pFile, nullptr, NoPassPhrase, nullptr));
    const int nSaved = errno;
    std::fclose(pFile);
    errno = nSaved;
    return Adopt(std::move(pkey), pName, true, phKey);
  } catch (...) {
    return kFailed;
  }
}

int InitFromPem(const char* pPem, std::size_t nPem, const char* pName, ThKestrinKey* phKey) noexcept {
  if (pPem == nullptr || phKey == nullptr || !ValidName(pName) || nPem > (1 << 20)) return kBadArgument;
  try {
    std::unique_ptr<BIO, TBioFree> pBio(BIO_new_mem_buf(pPem, static_cast<int>(nPem)));
    if (!pBio) return kFailed;
    return Adopt(TPkey(PEM_read_bio_PrivateKey(pBio.get(), nullptr, NoPassPhrase, nullptr)), pName, true, phKey);
  } catch (...) {
    return kFailed;
  }
}

int InitFromSeed(const unsigned char* pSeed, const char* pName, ThKestrinKey* phKey) noexcept {
  if (pSeed == nullptr || phKey == nullptr || !ValidName(pName)) return kBadArgument;
  try {
    return Adopt(TPkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, pSeed, kSeedLength)), pName,
                 true, phKey);
  } catch (...) {
    return kFailed;
  }
}

int InitFromPublic(const unsigned char* pPublic, const char* pName, ThKestrinKey* phKey) noexcept {
  if (pPublic == nullptr || phKey == nullptr || !ValidName(pName)) return kBadArgument;
  try {
    return Adopt(TPkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pPublic, kPublicKeyLength)),
                 pName, false, phKey);
  } catch (...) {
    return kFailed;
  }
}

int InitFromVkey(const char* pVkey, ThKestrinKey* phKey) noexcept {
  if (pVkey == nullptr || phKey == nullptr) return kBadArgument;
  try {
    std::string text(pVkey);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
      text.pop_back();
    const std::size_t nFirst = text.find('+');
    if (nFirst == std::string::npos) return kBadKey;
    const std::size_t nSecond = text.find('+', nFirst + 1);
    if (nSecond == std::string::npos || nSecond - nFirst != 9) return kBadKey;
    const std::string name = text.substr(0, nFirst);
    if (!ValidName(name.c_str())) return kBadKey;
    unsigned char keyHash[4];
    if (ParseHex(text.data() + nFirst + 1, 8, keyHash, 4) != kOk) return kBadKey;
    unsigned char raw[1 + kPublicKeyLength];
    std::size_t nRaw = 0;
    if (Base64Decode(text.data() + nSecond + 1, text.size() - nSecond - 1, raw, sizeof raw, &nRaw) != kOk ||
        nRaw != sizeof raw || raw[0] != 0x01)
      return kBadKey;
    ThKestrinKey h = nullptr;
    if (const int rc = InitFromPublic(raw + 1, name.c_str(), &h); rc != kOk) return rc == kBadArgument ? kBadKey : rc;
    unsigned char expected[4];
    KeyHash(*KeyOf(h), expected);
    if (std::memcmp(expected, keyHash, 4) != 0) {
      Destroy(h);
      return kBadKey;
    }
    *phKey = h;
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

void Destroy(ThKestrinKey hKey) noexcept { delete KeyOf(hKey); }

bool HasPrivateKey(ThKestrinKey hKey) noexcept { return hKey != nullptr && KeyOf(hKey)->bPrivate; }

const char* Name(ThKestrinKey hKey) noexcept { return hKey == nullptr ? "" : KeyOf(hKey)->name.c_str(); }

int PublicKey(ThKestrinKey hKey, unsigned char* pPublic) noexcept {
  if (hKey == nullptr || pPublic == nullptr) return kBadArgument;
  std::memcpy(pPublic, KeyOf(hKey)->pub, kPublicKeyLength);
  return kOk;
}

int KeyId(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept {
  if (hKey == nullptr || pText == nullptr) return kBadArgument;
  if (nSize < kKeyIdSize) return kTooSmall;
  unsigned char hash[kHashLength];
  Sha256(KeyOf(hKey)->pub, kPublicKeyLength, hash);
  return FormatHex(hash, 8, pText, nSize);
}

int Fingerprint(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept {
  if (hKey == nullptr || pText == nullptr) return kBadArgument;
  if (nSize < kFingerprintSize) return kTooSmall;
  unsigned char hash[kHashLength];
  Sha256(KeyOf(hKey)->pub, kPublicKeyLength, hash);
  std::memcpy(pText, "SHA256:", 7);
  return FormatHex(hash, kHashLength, pText + 7, nSize - 7);
}

int Vkey(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept {
  if (hKey == nullptr || pText == nullptr) return kBadArgument;
  try {
    const TKey& k = *KeyOf(hKey);
    unsigned char keyHash[4];
    KeyHash(k, keyHash);
    unsigned char raw[1 + kPublicKeyLength];
    raw[0] = 0x01;
    std::memcpy(raw + 1, k.pub, kPublicKeyLength);
    char hex[9], b64[48];
    FormatHex(keyHash, 4, hex, sizeof hex);
    Base64Encode(raw, sizeof raw, b64, sizeof b64);
    const int n = std::snprintf(pText, nSize, "%s+%s+%s", k.name.c_str(), hex, b64);
    return n < 0 || static_cast<std::size_t>(n) >= nSize ? kTooSmall : kOk;
  } catch (...) {
    return kFailed;
  }
}

int Sign(ThKestrinKey hKey, const void* p, std::size_t n, unsigned char* pSignature) noexcept {
  if (hKey == nullptr || (p == nullptr && n > 0) || pSignature == nullptr) return kBadArgument;
  TKey& k = *KeyOf(hKey);
  if (!k.bPrivate) return kNoPrivateKey;
  try {
    std::lock_guard<std::mutex> lock(k.signing);
    for (int nTry = 0; nTry < 2; ++nTry) {
      if (!k.pSignCtx) {
        TMdCtx pCtx(EVP_MD_CTX_new());
        if (!pCtx || EVP_DigestSignInit(pCtx.get(), nullptr, nullptr, nullptr, k.pkey.get()) != 1) return kFailed;
        k.pSignCtx = std::move(pCtx);
      }
      std::size_t nSig = kSignatureLength;
      if (EVP_DigestSign(k.pSignCtx.get(), pSignature, &nSig, static_cast<const unsigned char*>(p), n) == 1 &&
          nSig == kSignatureLength)
        return kOk;
      k.pSignCtx.reset();
    }
    return kFailed;
  } catch (...) {
    return kFailed;
  }
}

int Verify(ThKestrinKey hKey, const void* p, std::size_t n, const unsigned char* pSignature) noexcept {
  if (hKey == nullptr || (p == nullptr && n > 0) || pSignature == nullptr) return kBadArgument;
  TKey& k = *KeyOf(hKey);
  try {
    std::lock_guard<std::mutex> lock(k.verifying);
    // A context that was used once may want a fresh set-up: a failure is only believed from a fresh one.
    for (int nTry = 0; nTry < 2; ++nTry) {
      const bool bFresh = !k.pVerifyCtx;
      if (bFresh) {
        TMdCtx pCtx(EVP_MD_CTX_new());
        if (!pCtx || EVP_DigestVerifyInit(pCtx.get(), nullptr, nullptr, nullptr, k.pkey.get()) != 1) return kFailed;
        k.pVerifyCtx = std::move(pCtx);
      }
      if (EVP_DigestVerify(k.pVerifyCtx.get(), pSignature, kSignatureLength, static_cast<const unsigned char*>(p),
                           n) == 1)
        return kOk;
      k.pVerifyCtx.reset();
      if (bFresh) return kBadSignature;
    }
    return kBadSignature;
  } catch (...) {
    return kFailed;
  }
}

std::size_t SignedLength(const TDocument& d) noexcept {
  if (d.pWheel == nullptr || d.pCaptured == nullptr || (d.pPayload == nullptr && d.nPayload > 0) ||
      (d.nPrevSeq != 0 && d.pPrevHash == nullptr))
    return 0;
  const std::size_t nWheel = std::strlen(d.pWheel), nCaptured = std::strlen(d.pCaptured);
  if (nWheel > 0xFFFF || nCaptured > 0xFFFF || d.nPayload > 0xFFFFFFFFu) return 0;
  return 20 + 2 + nWheel + 8 + 8 + 2 + nCaptured + 8 + kHashLength + 4 + d.nPayload;
}

int SignedBytes(const TDocument& document, unsigned char* pOut, std::size_t nSize, std::size_t* pnLength) noexcept {
  if (pOut == nullptr) return kBadArgument;
  try {
    std::vector<unsigned char>& m = Scratch();
    if (const int rc = BuildM(document, m); rc != kOk) return rc;
    if (m.size() > nSize) return kTooSmall;
    std::memcpy(pOut, m.data(), m.size());
    if (pnLength != nullptr) *pnLength = m.size();
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

int Hash(const TDocument& document, unsigned char* pHash) noexcept {
  if (pHash == nullptr) return kBadArgument;
  try {
    std::vector<unsigned char>& m = Scratch();
    if (const int rc = BuildM(document, m); rc != kOk) return rc;
    Sha256(m.data(), m.size(), pHash);
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

int SignDocument(ThKestrinKey hKey, const TDocument& document, unsigned char* pHash,
                 unsigned char* pSignature) noexcept {
  if (hKey == nullptr || pSignature == nullptr) return kBadArgument;
  try {
    std::vector<unsigned char>& m = Scratch();
    if (const int rc = BuildM(document, m); rc != kOk) return rc;
    if (pHash != nullptr) Sha256(m.data(), m.size(), pHash);
    return Sign(hKey, m.data(), m.size(), pSignature);
  } catch (...) {
    return kFailed;
  }
}

int VerifyDocument(ThKestrinKey hKey, const TDocument& document, const unsigned char* pSignature,
                   unsigned char* pHash) noexcept {
  if (hKey == nullptr || pSignature == nullptr) return kBadArgument;
  try {
    std::vector<unsigned char>& m = Scratch();
    if (const int rc = BuildM(document, m); rc != kOk) return rc;
    if (pHash != nullptr) Sha256(m.data(), m.size(), pHash);
    return Verify(hKey, m.data(), m.size(), pSignature);
  } catch (...) {
    return kFailed;
  }
}

int FormatPrev(std::uint64_t nPrevSeq, const unsigned char* pHash, char* pText, std::size_t nSize) noexcept {
  if (pHash == nullptr || pText == nullptr || nPrevSeq == 0) return kBadArgument;
  if (nSize < kPrevSize) return kTooSmall;
  const int n = std::snprintf(pText, nSize, "%llu:", static_cast<unsigned long long>(nPrevSeq));
  return FormatHex(pHash, kHashLength, pText + n, nSize - static_cast<std::size_t>(n));
}

int ParsePrev(const char* pText, std::uint64_t* pnPrevSeq, unsigned char* pHash) noexcept {
  if (pText == nullptr || pnPrevSeq == nullptr || pHash == nullptr) return kBadArgument;
  const char* pColon = std::strchr(pText, ':');
  if (pColon == nullptr || std::strlen(pColon + 1) != 2 * kHashLength) return kBadFormat;
  std::uint64_t nSeq = 0;
  if (!ParseDecimal(pText, static_cast<std::size_t>(pColon - pText), false, &nSeq)) return kBadFormat;
  if (ParseHex(pColon + 1, 2 * kHashLength, pHash, kHashLength) != kOk) return kBadFormat;
  *pnPrevSeq = nSeq;
  return kOk;
}

int Base64Encode(const unsigned char* p, std::size_t n, char* pText, std::size_t nSize) noexcept {
  if ((p == nullptr && n > 0) || pText == nullptr) return kBadArgument;
  if (nSize < (n + 2) / 3 * 4 + 1) return kTooSmall;
  char* q = pText;
  for (std::size_t i = 0; i < n; i += 3) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (i + 1 < n ? std::uint32_t{p[i + 1]} << 8 : 0) |
                            (i + 2 < n ? std::uint32_t{p[i + 2]} : 0);
    *q++ = kBase64[(v >> 18) & 63];
    *q++ = kBase64[(v >> 12) & 63];
    *q++ = i + 1 < n ? kBase64[(v >> 6) & 63] : '=';
    *q++ = i + 2 < n ? kBase64[v & 63] : '=';
  }
  *q = '\0';
  return kOk;
}

int Base64Decode(const char* pText, std::size_t nText, unsigned char* pOut, std::size_t nMax,
                 std::size_t* pnLength) noexcept {
  if ((pText == nullptr && nText > 0) || pnLength == nullptr) return kBadArgument;
  if (nText % 4 != 0) return kBadFormat;
  std::size_t nOut = 0;
  for (std::size_t i = 0; i < nText; i += 4) {
    const bool bLast = i + 4 == nText;
    int v[4];
    int nPad = 0;
    for (int j = 0; j < 4; ++j) {
      const char c = pText[i + j];
      if (c == '=' && bLast && j >= 2) {
        v[j] = 0;
        ++nPad;
        continue;
      }
      if (nPad > 0) return kBadFormat;  // a digit after padding
      v[j] = Base64Value(c);
      if (v[j] < 0) return kBadFormat;
    }
    // Canonical only: the bits that padding drops are zero.
    if ((nPad == 1 && (v[2] & 3) != 0) || (nPad == 2 && (v[1] & 15) != 0)) return kBadFormat;
    const std::uint32_t w = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) |
                            (std::uint32_t(v[2]) << 6) | std::uint32_t(v[3]);
    const unsigned char bytes[3] = {static_cast<unsigned char>(w >> 16), static_cast<unsigned char>(w >> 8),
                                    static_cast<unsigned char>(w)};
    for (int j = 0; j < 3 - nPad; ++j) {
      if (nOut >= nMax || pOut == nullptr) return kTooSmall;
      pOut[nOut++] = bytes[j];
    }
  }
  *pnLength = nOut;
  return kOk;
}

int FormatHex(const unsigned char* p, std::size_t n, char* pText, std::size_t nSize) noexcept {
  if ((p == nullptr && n > 0) || pText == nullptr) return kBadArgument;
  if (nSize < 2 * n + 1) return kTooSmall;
  for (std::size_t i = 0; i < n; ++i) {
    pText[2 * i] = kDigits[p[i] >> 4];
    pText[2 * i + 1] = kDigits[p[i] & 15];
  }
  pText[2 * n] = '\0';
  return kOk;
}

int ParseHex(const char* pText, std::size_t nText, unsigned char* pOut, std::size_t n) noexcept {
  if (pText == nullptr || pOut == nullptr) return kBadArgument;
  if (nText != 2 * n) return kBadFormat;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = HexValue(pText[2 * i]), lo = HexValue(pText[2 * i + 1]);
    if (hi < 0 || lo < 0) return kBadFormat;
    pOut[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return kOk;
}

int SignNote(ThKestrinKey hKey, const char* pBody, std::size_t nBody, char* pOut, std::size_t nSize,
             std::size_t* pnLength) noexcept {
  if (hKey == nullptr || pBody == nullptr || pOut == nullptr) return kBadArgument;
  // Non-empty, ends its last line, and holds no empty line: the first "\n\n" ends the body.
  if (nBody == 0 || pBody[nBody - 1] != '\n' || pBody[0] == '\n' ||
      std::string_view(pBody, nBody).find("\n\n") != std::string_view::npos ||
      std::memchr(pBody, '\0', nBody) != nullptr)
    return kBadFormat;
  try {
    const TKey& k = *KeyOf(hKey);
    unsigned char blob[4 + kSignatureLength];
    KeyHash(k, blob);
    if (const int rc = Sign(hKey, pBody, nBody, blob + 4); rc != kOk) return rc;
    char b64[96];
    Base64Encode(blob, sizeof blob, b64, sizeof b64);
    std::string note(pBody, nBody);
    note += '\n';
    note += kSigLineStart;
    note += k.name;
    note += ' ';
    note += b64;
    note += '\n';
    if (note.size() + 1 > nSize) return kTooSmall;
    std::memcpy(pOut, note.c_str(), note.size() + 1);
    if (pnLength != nullptr) *pnLength = note.size();
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

int VerifyNote(ThKestrinKey hKey, const char* pNote, std::size_t nNote, std::size_t* pnBody) noexcept {
  if (hKey == nullptr || pNote == nullptr) return kBadArgument;
  try {
    const std::string_view note(pNote, nNote);
    const std::size_t nSplit = note.find("\n\n");
    if (nSplit == std::string_view::npos || nSplit == 0 || note.back() != '\n' ||
        note.find('\0') != std::string_view::npos)
      return kBadFormat;
    const std::size_t nBody = nSplit + 1;
    const TKey& k = *KeyOf(hKey);
    unsigned char keyHash[4];
    KeyHash(k, keyHash);
    bool bMine = false, bGood = false;
    for (std::size_t at = nSplit + 2; at < note.size();) {
      const std::size_t nEnd = note.find('\n', at);
      const std::string_view line = note.substr(at, nEnd - at);
      at = nEnd + 1;
      if (line.substr(0, kSigLineStartLength) != std::string_view(kSigLineStart, kSigLineStartLength))
        return kBadFormat;
      const std::string_view rest = line.substr(kSigLineStartLength);
      const std::size_t nSpace = rest.find(' ');
      if (nSpace == std::string_view::npos || nSpace == 0) return kBadFormat;
      unsigned char blob[128];
      std::size_t nBlob = 0;
      const std::string_view b64 = rest.substr(nSpace + 1);
      if (Base64Decode(b64.data(), b64.size(), blob, sizeof blob, &nBlob) != kOk || nBlob < 5) return kBadFormat;
      // Another key's line (a witness's, a co-signer's) is no concern of this key.
      if (rest.substr(0, nSpace) != k.name || nBlob != 4 + kSignatureLength || std::memcmp(blob, keyHash, 4) != 0)
        continue;
      bMine = true;
      if (Verify(hKey, pNote, nBody, blob + 4) == kOk) bGood = true;
    }
    if (pnBody != nullptr) *pnBody = nBody;
    return bMine && bGood ? kOk : kBadSignature;
  } catch (...) {
    return kFailed;
  }
}

int FormatCheckpoint(const TCheckpoint& c, char* pBody, std::size_t nSize, std::size_t* pnLength) noexcept {
  if (pBody == nullptr || !ValidName(c.origin)) return kBadArgument;
  char hash[48], head[2 * kHashLength + 1];
  Base64Encode(c.hash, kHashLength, hash, sizeof hash);
  FormatHex(c.head, kHashLength, head, sizeof head);
  const int n = std::snprintf(pBody, nSize, "%s\n%llu\n%s\nhead %s\ntime %lld\n", c.origin,
                              static_cast<unsigned long long>(c.nSize), hash, head,
                              static_cast<long long>(c.nTimeMs));
  if (n < 0 || static_cast<std::size_t>(n) >= nSize) return kTooSmall;
  if (pnLength != nullptr) *pnLength = static_cast<std::size_t>(n);
  return kOk;
}

int ParseCheckpoint(const char* pBody, std::size_t nBody, TCheckpoint* pCheckpoint) noexcept {
  if (pBody == nullptr || pCheckpoint == nullptr) return kBadArgument;
  try {
    const std::string_view body(pBody, nBody);
    std::string_view lines[5];
    std::size_t at = 0;
    for (std::string_view& line : lines) {
      const std::size_t nEnd = body.find('\n', at);
      if (nEnd == std::string_view::npos) return kBadFormat;
      line = body.substr(at, nEnd - at);
      at = nEnd + 1;
    }
    if (at != body.size()) return kBadFormat;
    TCheckpoint c;
    if (lines[0].empty() || lines[0].size() >= sizeof c.origin) return kBadFormat;
    std::memcpy(c.origin, lines[0].data(), lines[0].size());
    if (!ValidName(c.origin)) return kBadFormat;
    if (!ParseDecimal(lines[1].data(), lines[1].size(), true, &c.nSize)) return kBadFormat;
    std::size_t nHash = 0;
    if (Base64Decode(lines[2].data(), lines[2].size(), c.hash, kHashLength, &nHash) != kOk || nHash != kHashLength)
      return kBadFormat;
    if (lines[3].substr(0, 5) != "head " ||
        ParseHex(lines[3].data() + 5, lines[3].size() - 5, c.head, kHashLength) != kOk)
      return kBadFormat;
    std::uint64_t nTime = 0;
    if (lines[4].substr(0, 5) != "time " ||
        !ParseDecimal(lines[4].data() + 5, lines[4].size() - 5, true, &nTime) || nTime > INT64_MAX)
      return kBadFormat;
    c.nTimeMs = static_cast<std::int64_t>(nTime);
    *pCheckpoint = c;
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

}  // namespace signature
