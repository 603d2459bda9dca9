#include "kestrin_journal_format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace journal {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;  // Castagnoli, reflected
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t Get32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
std::uint64_t Get64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::size_t BodyOf(std::uint8_t nType) {
  switch (nType) {
    case kTypeHeader:
      return kHeaderBody;
    case kTypeDocument:
      return kDocumentBody;
    case kTypeDocumentUnchained:
      return kUnchainedBody;
    case kTypeStart:
      return kStartBody;
    case kTypeMarks:
      return kMarksBody;
    case kTypeReserve:
      return kReserveBody;
    default:
      return 0;
  }
}

// Appends a record of nType with body pBody to out.
void Encode(std::vector<unsigned char>& out, std::uint8_t nType, const unsigned char* pBody) {
  const std::size_t nBody = BodyOf(nType);
  const std::size_t nAt = out.size();
  out.resize(nAt + kRecordHead + nBody);
  unsigned char* p = out.data() + nAt;
  Put16(p + 4, static_cast<std::uint16_t>(nBody));
  p[6] = nType;
  p[7] = 0;
  std::memcpy(p + kRecordHead, pBody, nBody);
  Put32(p, Crc32c(p + 4, kRecordHead - 4 + nBody));
}

}  // namespace

std::uint32_t Crc32c(const unsigned char* p, std::size_t n) noexcept {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool Parse(const unsigned char* p, std::size_t n, TFound* pFound) noexcept {
  if (p == nullptr || n < kRecordHead) return false;
  const std::size_t nBody = static_cast<std::size_t>(p[4]) | static_cast<std::size_t>(p[5]) << 8;
  if (p[7] != 0 || BodyOf(p[6]) == 0 || nBody != BodyOf(p[6]) || n < kRecordHead + nBody) return false;
  if (Crc32c(p + 4, kRecordHead - 4 + nBody) != Get32(p)) return false;
  *pFound = {p[6], p + kRecordHead, kRecordHead + nBody};
  return true;
}

void EncodeHeader(std::vector<unsigned char>& out, std::uint64_t nNumber, std::uint64_t nEpoch,
                  std::uint64_t nNextSeq, std::uint64_t nAck, std::uint64_t nConfirm) {
  unsigned char body[kHeaderBody];
  Put32(body, kMagic);
  Put32(body + 4, kVersion);
  Put64(body + 8, nNumber);
  Put64(body + 16, nEpoch);
  Put64(body + 24, nNextSeq);
  Put64(body + 32, nAck);
  Put64(body + 40, nConfirm);
  Encode(out, kTypeHeader, body);
}

void EncodeDocument(std::vector<unsigned char>& out, std::uint64_t nSeq, std::uint64_t nEpoch,
                    std::int64_t nCapturedMs, const unsigned char* pFrame, const TLink& link) {
  unsigned char body[kDocumentBody];
  Put64(body, nSeq);
  Put64(body + 8, nEpoch);
  Put64(body + 16, static_cast<std::uint64_t>(nCapturedMs));
  std::memcpy(body + 24, pFrame, kFrameLength);
  Put64(body + 24 + kFrameLength, link.nPrevSeq);
  std::memcpy(body + 32 + kFrameLength, link.prevHash, kHashLength);
  Encode(out, kTypeDocument, body);
}

void EncodeStart(std::vector<unsigned char>& out, std::uint64_t nEpoch, std::uint64_t nNextSeq) {
  unsigned char body[kStartBody];
  Put64(body, nEpoch);
  Put64(body + 8, nNextSeq);
  Encode(out, kTypeStart, body);
}

void EncodeMarks(std::vector<unsigned char>& out, std::uint64_t nAck, std::uint64_t nConfirm,
                 std::uint64_t nNextSeq) {
  unsigned char body[kMarksBody];
  Put64(body, nAck);
  Put64(body + 8, nConfirm);
  Put64(body + 16, nNextSeq);
  Encode(out, kTypeMarks, body);
}

void EncodeReserve(std::vector<unsigned char>& out, std::uint64_t nReserved, std::int64_t nWrittenMs) {
  unsigned char body[kReserveBody];
  Put64(body, nReserved);
  Put64(body + 8, static_cast<std::uint64_t>(nWrittenMs));
  Encode(out, kTypeReserve, body);
}

std::uint64_t DocumentSeqAt(const unsigned char* pRecord) noexcept { return Get64(pRecord + kRecordHead); }

std::int64_t DocumentCapturedAt(const unsigned char* pRecord) noexcept {
  return static_cast<std::int64_t>(Get64(pRecord + kRecordHead + 16));
}

std::uint64_t DocumentSeq(const TFound& found) noexcept {
  return found.nType == kTypeDocument || found.nType == kTypeDocumentUnchained ? Get64(found.pBody) : 0;
}

void DecodeDocument(const TFound& found, TRecord* pRecord) noexcept {
  const unsigned char* b = found.pBody;
  pRecord->nSeq = Get64(b);
  pRecord->nEpoch = Get64(b + 8);
  pRecord->nCapturedMs = static_cast<std::int64_t>(Get64(b + 16));
  std::memcpy(pRecord->frame, b + 24, kFrameLength);
  pRecord->link = TLink{};
  if (found.nType == kTypeDocument) {
    pRecord->link.nPrevSeq = Get64(b + 24 + kFrameLength);
    std::memcpy(pRecord->link.prevHash, b + 32 + kFrameLength, kHashLength);
  }
}

TScan Scan(const unsigned char* p, std::size_t n, bool bFirstOnly) noexcept {
  TScan s;
  TFound f;
  std::size_t nAt = 0;
  while (Parse(p + nAt, n - nAt, &f)) {
    const unsigned char* b = f.pBody;
    if ((nAt == 0) != (f.nType == kTypeHeader)) break;  // a header first, and only there
    if (f.nType == kTypeHeader) {
      if (Get32(b) != kMagic || Get32(b + 4) != kVersion) break;
      s.bHeader = true;
      s.nEpoch = Get64(b + 16);
      s.nNextSeq = s.nBegins = Get64(b + 24);
      s.nAck = Get64(b + 32);
      s.nConfirm = Get64(b + 40);
    } else if (f.nType == kTypeDocument || f.nType == kTypeDocumentUnchained) {
      const std::uint64_t nSeq = Get64(b);
      if (nSeq < s.nNextSeq || nSeq <= s.nLastSeq) break;  // never numbered so: not ours
      if (s.nFirstSeq == 0) {
        s.nFirstSeq = nSeq;
        s.nFirstCapturedMs = static_cast<std::int64_t>(Get64(b + 16));
      }
      s.nLastSeq = nSeq;
      ++s.nDocs;
      s.nEpoch = std::max(s.nEpoch, Get64(b + 8));
      s.nLastCapturedMs = static_cast<std::int64_t>(Get64(b + 16));
    } else if (f.nType == kTypeReserve) {
      s.nReserved = Get64(b);
    } else if (f.nType == kTypeStart) {
      s.nEpoch = std::max(s.nEpoch, Get64(b));
      s.nNextSeq = std::max(s.nNextSeq, Get64(b + 8));
    } else {
      s.nAck = std::max(s.nAck, Get64(b));
      s.nConfirm = std::max(s.nConfirm, Get64(b + 8));
      s.nNextSeq = std::max(s.nNextSeq, Get64(b + 16));
    }
    nAt += f.nBytes;
    s.nWhole = nAt;
    if (bFirstOnly && s.nFirstSeq != 0) break;
  }
  s.nNextSeq = std::max(s.nNextSeq, s.nLastSeq + 1);
  return s;
}

}  // namespace journal
