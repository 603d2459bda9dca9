// The journal's segment files: their names, beginning one, writing at the end of the newest, giving
// way to the disk budget and the retention, and recovering them at Init.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrin_journal_l.h"

namespace journal {

// "Cannot WHAT the journal of wheel W in DIR: the reason (errno)".
void SayFailure(const TMyData& d, const char* pWhat);

// dir + "/NNNNNNNNNN.journal".
std::string SegmentName(const std::string& dir, std::uint64_t nNumber);

// Writes all n bytes at nAt; false on a failure (errno says why).
bool WriteAt(int fd, const unsigned char* p, std::size_t n, std::int64_t nAt);
// Reads up to n bytes at nAt; how many came, or -1.
ssize_t ReadAt(int fd, unsigned char* p, std::size_t n, std::int64_t nAt);

// Now, in ms since the Unix epoch: when a reservation is written.
std::int64_t WallMs() noexcept;

// Writer (and Init, before the writer starts): begins segment nNumber with its header and makes it the
// newest; the one before is synced and closed, and beyond the segments allowed the oldest gives way.
bool BeginSegment(TMyData& d, std::uint64_t nNumber, std::uint64_t nAck, std::uint64_t nConfirm);

// Whoever holds the file (the writer, WriteOut): puts bytes (whole records, nDocs documents up to
// nLastSeq) at the end of the newest segment.
bool Put(TMyData& d, const unsigned char* p, std::size_t n, long nDocs, std::uint64_t nFirstSeq,
         std::uint64_t nLastSeq);

// Writer, holding the file (bWriting): writes a batch of documents and, if they changed, the marks, and
// with bReserve the reservation nReserve; then, when the newest segment is nearly full, begins the next
// one (tried again after the next batch when it cannot), and lets the oldest go that the retention has
// passed. False when a document or the marks were not written.
bool Write(TMyData& d, std::vector<unsigned char>& batch, std::uint64_t nAck, std::uint64_t nConfirm,
           std::uint64_t nNextSeq, bool bMarks, bool bReserve, std::uint64_t nReserve);

// Init: the segments on the disk, recovered; the numbering and marks from the newest whole record, a
// torn tail cut, the seqs an unclean stop may have used skipped. *pMaxEpoch gets the highest epoch found.
bool Recover(TMyData& d, std::uint64_t* pMaxEpoch);

}  // namespace journal
