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

// Writer holding the file (and Init, before the writer starts): begins segment nNumber with its
// header and makes it the newest; the one before is synced and closed, and beyond the segments allowed
// the oldest gives way. For a newest segment that is full: WriteOut cannot write meanwhile.
bool BeginSegment(TMyData& d, std::uint64_t nNumber, std::uint64_t nAck, std::uint64_t nConfirm);

// Writer, not holding the file, after a commit of the marks nAck and nConfirm while seq nNextSeq was
// the next: when the newest segment is nearly full, the next one is made (created, allocated, its
// header synced) while WriteOut goes on writing into the newest's margin, then swapped in under the
// file in a moment, a marks record carrying the numbering past what WriteOut wrote meanwhile; one that
// cannot begin costs nothing now, is said once and tried again after the next commit. Then the oldest
// segments the retention has passed go.
void ChangeSegment(TMyData& d, std::uint64_t nAck, std::uint64_t nConfirm, std::uint64_t nNextSeq);

// Whoever holds the file (the writer, WriteOut): puts bytes (whole records, nDocs documents up to
// nLastSeq) at the end of the newest segment.
bool Put(TMyData& d, const unsigned char* p, std::size_t n, long nDocs, std::uint64_t nFirstSeq,
         std::uint64_t nLastSeq);

// Writer, holding the file (bWriting): writes a batch of documents and, if they changed, the marks, and
// with bReserve the reservation nReserve, beginning the next segment where the newest is full. False
// when a document or the marks were not written.
bool Write(TMyData& d, std::vector<unsigned char>& batch, std::uint64_t nAck, std::uint64_t nConfirm,
           std::uint64_t nNextSeq, bool bMarks, bool bReserve, std::uint64_t nReserve);

// Init: the segments on the disk, recovered; the numbering and marks from the newest whole record, a
// torn tail cut, the seqs an unclean stop may have used skipped. *pMaxEpoch gets the highest epoch found.
bool Recover(TMyData& d, std::uint64_t* pMaxEpoch);

}  // namespace journal
