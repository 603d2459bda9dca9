// The journal's records on the disk: their layout, and encoding, checking and scanning them. Pure
// functions of their bytes; only the journal and its tests see them.
//
// A segment file DIRECTORY/WHEEL/NNNNNNNNNN.journal (its number, from 1) is a run of records, each
//   u32 CRC32C of the rest of the record | u16 length of the body | u8 type | u8 0 | body
// with every number little-endian. The first record of a segment is its header, so that any segment
// alone tells the numbering and the marks and the older ones can go without losing them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrin_journal.h"

namespace journal {

constexpr std::size_t kRecordHead = 8;
// Header: u32 "KJNL", u32 version, u64 segment number, u64 epoch, u64 next seq, u64 acknowledged,
// u64 confirmed.
constexpr std::uint8_t kTypeHeader = 1;
constexpr std::size_t kHeaderBody = 48;
// Document: u64 seq, u64 epoch, i64 captured (ms since the Unix epoch), the frame's 42 bytes, u64
// prevseq, the previous document's 32-byte hash (zeros with prevseq 0): what its signature covers
// besides the frame, so that a document read back is signed again identically and the chain goes on.
constexpr std::uint8_t kTypeDocument = 5;
constexpr std::size_t kDocumentBody = 24 + kFrameLength + 8 + kHashLength;
constexpr std::size_t kDocumentBytes = kRecordHead + kDocumentBody;  // 114
// The document of journals written before documents were chained: the same without prevseq and hash;
// read (as the chain's start), never written.
constexpr std::uint8_t kTypeDocumentUnchained = 2;
constexpr std::size_t kUnchainedBody = 24 + kFrameLength;
// Start: u64 epoch, u64 next seq; one at each Init.
constexpr std::uint8_t kTypeStart = 3;
constexpr std::size_t kStartBody = 16;
// Marks: u64 acknowledged, u64 confirmed, u64 next seq (documents not kept still used their seq).
constexpr std::uint8_t kTypeMarks = 4;
constexpr std::size_t kMarksBody = 24;
// Reserve: u64 reserved (no seq up to it may be given again after an unclean stop), i64 when written
// (ms since the Unix epoch). The writer keeps one synced ahead of the numbering; a clean close writes
// the next seq less one, which releases it.
constexpr std::uint8_t kTypeReserve = 6;
constexpr std::size_t kReserveBody = 16;
constexpr std::uint32_t kMagic = 0x4C4E4A4B;  // "KJNL"
constexpr std::uint32_t kVersion = 1;

std::uint32_t Crc32c(const unsigned char* p, std::size_t n) noexcept;

// One record found in bytes: its type, its body and its whole length; false when what is there does
// not check out (too short, a length the type does not have, a wrong checksum).
struct TFound {
  std::uint8_t nType = 0;
  const unsigned char* pBody = nullptr;
  std::size_t nBytes = 0;
};
bool Parse(const unsigned char* p, std::size_t n, TFound* pFound) noexcept;

// Each appends one record to out.
void EncodeHeader(std::vector<unsigned char>& out, std::uint64_t nNumber, std::uint64_t nEpoch,
                  std::uint64_t nNextSeq, std::uint64_t nAck, std::uint64_t nConfirm);
void EncodeDocument(std::vector<unsigned char>& out, std::uint64_t nSeq, std::uint64_t nEpoch,
                    std::int64_t nCapturedMs, const unsigned char* pFrame, const TLink& link);
void EncodeStart(std::vector<unsigned char>& out, std::uint64_t nEpoch, std::uint64_t nNextSeq);
void EncodeMarks(std::vector<unsigned char>& out, std::uint64_t nAck, std::uint64_t nConfirm,
                 std::uint64_t nNextSeq);
void EncodeReserve(std::vector<unsigned char>& out, std::uint64_t nReserved, std::int64_t nWrittenMs);

// The seq and capture time of the document record that starts at pRecord (encoded, checked).
std::uint64_t DocumentSeqAt(const unsigned char* pRecord) noexcept;
std::int64_t DocumentCapturedAt(const unsigned char* pRecord) noexcept;
// A record found: its seq when it is a document (of either type), else 0.
std::uint64_t DocumentSeq(const TFound& found) noexcept;
// A document record found, into *pRecord (the link zeros for an unchained one).
void DecodeDocument(const TFound& found, TRecord* pRecord) noexcept;

// What the records of a segment tell: the numbering, the marks and the documents it holds.
struct TScan {
  bool bHeader = false;
  std::uint64_t nFirstSeq = 0, nLastSeq = 0;
  std::uint64_t nEpoch = 0, nNextSeq = 1, nAck = 0, nConfirm = 0;
  std::uint64_t nBegins = 1;    // the header's next seq: where the segment's numbering begins
  std::uint64_t nReserved = 0;  // the last reservation; at or beyond nNextSeq: not closed cleanly
  std::int64_t nFirstCapturedMs = 0, nLastCapturedMs = 0;
  std::size_t nWhole = 0;  // bytes of whole records from the start
  long nDocs = 0;
};

// Scans bytes from a segment's start; stops at the first record that does not check out, or after the
// first document when bFirstOnly.
TScan Scan(const unsigned char* p, std::size_t n, bool bFirstOnly) noexcept;

}  // namespace journal
