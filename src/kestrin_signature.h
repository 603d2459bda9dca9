// Ed25519 keys, the signed bytes of a document and the signed note that states a log's head: pure
// formats over OpenSSL's libcrypto, used by the box (it signs and chains every document, it checks the
// site's checkpoints) and by the site's ledger (it checks the documents, it signs the checkpoints).
// docs/reference/signatures.md gives every layout byte by byte, with test vectors.
//
// A key handle holds a key pair (loaded from a PKCS#8 PEM file, or made from a 32-byte seed) or only a
// public key (from a verifier key text), with its name. One handle may serve several threads at once
// (its signatures, and its verifications, take turns). Nothing here prints: every function returns a
// result and the caller says what it means.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* ThKestrinKey;

namespace signature {

// Results.
constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kNoFile = -2;        // the key file cannot be opened (errno says why)
constexpr int kBadKey = -3;        // no Ed25519 key there (not PEM, another algorithm, a wrong vkey)
constexpr int kFailed = -4;        // OpenSSL refused (out of memory)
constexpr int kBadSignature = -5;  // the signature does not verify with this key
constexpr int kTooSmall = -6;      // the output buffer is too small
constexpr int kBadFormat = -7;     // the text does not read as the format says
constexpr int kNoPrivateKey = -8;  // a public key alone cannot sign

constexpr std::size_t kSeedLength = 32;
constexpr std::size_t kPublicKeyLength = 32;
constexpr std::size_t kHashLength = 32;
constexpr std::size_t kSignatureLength = 64;
constexpr std::size_t kKeyIdSize = 17;          // 16 hex digits and the NUL
constexpr std::size_t kFingerprintSize = 72;    // "SHA256:" + 64 hex digits and the NUL
constexpr std::size_t kPrevSize = 21 + 1 + 64 + 1;  // "<prevseq>:<64 hex>" and the NUL
constexpr std::size_t kSigTextSize = 89;        // base64 of 64 bytes (88) and the NUL
constexpr std::size_t kMaxNameLength = 255;
constexpr const char* kDomain = "kestrin-document-v1";  // then 0x00: M's first 20 bytes

// Loads the Ed25519 private key in the PKCS#8 PEM file pPath (as `openssl genpkey -algorithm ed25519`
// writes it) and names it pName (the signed note's key name; 1 to 255 bytes, no space, '+' or
// newline). *phKey gets the handle on kOk.
int InitFromFile(const char* pPath, const char* pName, ThKestrinKey* phKey) noexcept;
// The same from the PEM text itself.
int InitFromPem(const char* pPem, std::size_t nPem, const char* pName, ThKestrinKey* phKey) noexcept;
// A key pair from its 32-byte seed (RFC 8032's private key): the test vectors.
int InitFromSeed(const unsigned char* pSeed, const char* pName, ThKestrinKey* phKey) noexcept;
// A public key alone from a verifier key text "<name>+<8 hex>+<base64(0x01 || key)>" (a trailing
// newline or spaces allowed): checks the 8 hex digits against the name and key (kBadKey otherwise).
int InitFromVkey(const char* pVkey, ThKestrinKey* phKey) noexcept;
// A public key alone from its 32 raw bytes.
int InitFromPublic(const unsigned char* pPublic, const char* pName, ThKestrinKey* phKey) noexcept;
// Null does nothing.
void Destroy(ThKestrinKey hKey) noexcept;

bool HasPrivateKey(ThKestrinKey hKey) noexcept;
// The name given at Init ("" for a null handle).
const char* Name(ThKestrinKey hKey) noexcept;
// The raw public key (kPublicKeyLength bytes).
int PublicKey(ThKestrinKey hKey, unsigned char* pPublic) noexcept;
// "key" property: the first 16 lowercase hex digits of SHA-256(public key).
int KeyId(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept;
// "SHA256:" and 64 lowercase hex digits of SHA-256(public key).
int Fingerprint(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept;
// The verifier key text, no newline: "<name>+<8 hex of keyhash>+<base64(0x01 || key)>", keyhash the
// first 4 bytes of SHA-256(name || "\n" || 0x01 || key).
int Vkey(ThKestrinKey hKey, char* pText, std::size_t nSize) noexcept;

// Ed25519 over any bytes.
int Sign(ThKestrinKey hKey, const void* p, std::size_t n, unsigned char* pSignature) noexcept;
// kOk, or kBadSignature.
int Verify(ThKestrinKey hKey, const void* p, std::size_t n, const unsigned char* pSignature) noexcept;

// One document as the box numbered and published it. M, its signed bytes (all integers big-endian):
//   "kestrin-document-v1" 0x00 | u16 len, wheel | u64 seq | u64 epoch | u16 len, captured |
//   u64 prevseq | 32 bytes prev hash (zeros when prevseq is 0) | u32 len, payload
struct TDocument {
  const char* pWheel = nullptr;     // the serial as the topic writes it, e.g. "42"
  std::uint64_t nSeq = 0;
  std::uint64_t nEpoch = 0;
  const char* pCaptured = nullptr;  // the `captured` property's text as sent
  std::uint64_t nPrevSeq = 0;       // 0: the chain starts here
  const unsigned char* pPrevHash = nullptr;  // kHashLength bytes; ignored (zeros) when nPrevSeq is 0
  const unsigned char* pPayload = nullptr;
  std::size_t nPayload = 0;
};

// M's length, 0 for a document that does not fit the layout (a wheel or captured over 65535 bytes,
// a null text).
std::size_t SignedLength(const TDocument& document) noexcept;
// Writes M into pOut (nSize bytes at least SignedLength); *pnLength gets its length.
int SignedBytes(const TDocument& document, unsigned char* pOut, std::size_t nSize,
                std::size_t* pnLength) noexcept;
// H = SHA-256(M) into pHash.
int Hash(const TDocument& document, unsigned char* pHash) noexcept;
// H and the signature over M at once; pHash may be null.
int SignDocument(ThKestrinKey hKey, const TDocument& document, unsigned char* pHash,
                 unsigned char* pSignature) noexcept;
// kOk or kBadSignature; pHash (may be null) gets H either way when M could be built.
int VerifyDocument(ThKestrinKey hKey, const TDocument& document, const unsigned char* pSignature,
                   unsigned char* pHash) noexcept;

// The `prev` property: "<prevseq>:<64 lowercase hex>".
int FormatPrev(std::uint64_t nPrevSeq, const unsigned char* pHash, char* pText, std::size_t nSize) noexcept;
// Reads it back: a decimal seq above 0 without sign or leading zero, ':', exactly 64 hex digits.
int ParsePrev(const char* pText, std::uint64_t* pnPrevSeq, unsigned char* pHash) noexcept;

// Base64 with the standard alphabet and padding. Encode writes the NUL too; Decode takes only
// canonical text (padding where due, no spaces) and writes at most nMax bytes, *pnLength their count.
int Base64Encode(const unsigned char* p, std::size_t n, char* pText, std::size_t nSize) noexcept;
int Base64Decode(const char* pText, std::size_t nText, unsigned char* pOut, std::size_t nMax,
                 std::size_t* pnLength) noexcept;
// Lowercase hex, with the NUL; ParseHex takes exactly 2 * n hex digits (either case).
int FormatHex(const unsigned char* p, std::size_t n, char* pText, std::size_t nSize) noexcept;
int ParseHex(const char* pText, std::size_t nText, unsigned char* pOut, std::size_t n) noexcept;

// The C2SP signed note: the body (non-empty text, every line ending in "\n", no empty line), an empty
// line, then per signature "\u2014 <name> <base64(keyhash4 || sig64)>\n".
// SignNote writes body, empty line and this key's signature line into pOut with a NUL; *pnLength gets
// the length without it.
int SignNote(ThKestrinKey hKey, const char* pBody, std::size_t nBody, char* pOut, std::size_t nSize,
             std::size_t* pnLength) noexcept;
// kOk when one of the note's signature lines is this key's (same name and keyhash) and verifies;
// kBadSignature when that line is there but does not verify, or no line is this key's; kBadFormat
// when the text is no signed note. *pnBody (may be null) gets the body's length (the body is the
// note's first bytes, its last newline included) whenever the note reads.
int VerifyNote(ThKestrinKey hKey, const char* pNote, std::size_t nNote, std::size_t* pnBody) noexcept;

// The ledger's checkpoint of one wheel, the body of its signed note:
//   "<origin>\n<N>\n<base64 of H(N)>\nhead <64 hex>\ntime <ms since 1970 UTC>\n"
// origin "<site name>/kestrin-ledger/wheel/<W>".
struct TCheckpoint {
  char origin[kMaxNameLength + 64] = {};
  std::uint64_t nSize = 0;                  // N: every document from seq 1 to N is stored
  unsigned char hash[kHashLength] = {};     // the box's H(N); zeros when N is 0
  unsigned char head[kHashLength] = {};     // the ledger's own chain head for the wheel
  std::int64_t nTimeMs = 0;
};
int FormatCheckpoint(const TCheckpoint& checkpoint, char* pBody, std::size_t nSize,
                     std::size_t* pnLength) noexcept;
// Reads a body (the note's first nBody bytes); the wheel is the origin's text after its last '/'.
int ParseCheckpoint(const char* pBody, std::size_t nBody, TCheckpoint* pCheckpoint) noexcept;

}  // namespace signature
