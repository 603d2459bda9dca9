// How it works: the writer sleeps until the sync policy says a commit is due (a batch's time, its tick
// while documents keep coming, a burst, a Sync's request, the close). A commit takes the file from
// WriteOut (bWriting), writes what WriteOut left with the marks and the reservation, gives the file
// back and syncs (fdatasync), which covers what WriteOut wrote meanwhile too: nothing on the publishing
// path ever waits for the disk. When the newest segment is nearly full it then makes the next one
// without the file and swaps it in (ChangeSegment). A failed commit is said once, and again when
// writing works.
#include "kestrin_journal_writer.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>

#include "kestrin_console.h"
#include "kestrin_journal_segments.h"
#include "kestrin_journal_sync.h"

namespace journal {

void WriterMain(TMyData* pData) {
  TMyData& d = *pData;
  pthread_setname_np(pthread_self(), "kestrinjournal");
  std::unique_lock<std::mutex> lock(d.mutex);
  for (;;) {
    const bool bAsked = d.nSyncRequests > d.nSyncsDone;
    if (!d.bDue && !bAsked && d.bStop) break;
    const auto now = TMyData::Clock::now();
    const auto commitAt = CommitAt(d, bAsked, now);
    if (now < commitAt) {
      d.wakeBy = commitAt;
      if (commitAt == TMyData::Clock::time_point::max())
        d.wake.wait(lock);
      else
        d.wake.wait_until(lock, commitAt);
      continue;
    }
    d.wakeBy = {};  // awake: nobody needs to wake it
    // The worker may be writing its documents out.
    d.idle.wait(lock, [&] { return !d.bWriting; });
    d.bWriting = true;
    const std::uint64_t nSyncedBefore = d.figures.nSynced;
    std::vector<unsigned char> batch;
    batch.swap(d.pending);
    d.bDue = false;
    const std::uint64_t nAck = d.nAcknowledged, nConfirm = d.nConfirmed, nNextSeq = d.nNextSeq;
    const std::uint64_t nRequests = d.nSyncRequests;
    const std::uint64_t nLastDoc =
        batch.empty() ? 0 : DocumentSeqAt(batch.data() + batch.size() - kDocumentBytes);
    // Documents not kept (a failed batch, a full buffer) still used their seq: then the marks record
    // keeps the numbering past them, as it keeps the marks.
    const std::uint64_t nDiskNext = std::max(d.nDiskNextSeq, nLastDoc + 1);
    const bool bWriteMarks = nAck != d.nAckWritten || nConfirm != d.nConfirmWritten || nNextSeq != nDiskNext;
    const std::size_t nDocs = batch.size() / kDocumentBytes;
    const TReservation reserve = Reservation(d, nDocs, nNextSeq, d.bStop && d.pending.empty());
    lock.unlock();

    const auto began = TMyData::Clock::now();
    bool bOk = Write(d, batch, nAck, nConfirm, nNextSeq, bWriteMarks, reserve.bWrite, reserve.nReserve);
    // The sync covers what was written up to now, also by the worker while it runs.
    lock.lock();
    const std::uint64_t nWritten = d.nWrittenSeq;
    d.bWriting = false;
    d.idle.notify_all();
    lock.unlock();
    bOk = bOk && fdatasync(d.nFd) == 0;
    if (bOk) ChangeSegment(d, nAck, nConfirm, nNextSeq);
    Committed(d, began, nWritten > nSyncedBefore);
    const long nCommitMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(TMyData::Clock::now() - began).count());
    if (!bOk && !d.bFailing) SayFailure(d, "write");
    if (!bOk) d.nFailedDocs += static_cast<long>(nDocs);
    if (bOk && d.bFailing)
      console::Notice("The journal of wheel %s is written again; %ld documents were not kept\n",
                      d.wheel.c_str(), d.nFailedDocs);
    if (bOk) d.nFailedDocs = 0;
    d.bFailing = !bOk;

    lock.lock();
    if (d.pending.empty()) {  // its room serves the next batch
      batch.clear();
      d.pending.swap(batch);
    }
    ++d.figures.nSyncs;
    d.figures.nLongestCommitMs = std::max(d.figures.nLongestCommitMs, nCommitMs);
    d.bLastCommitFailed = !bOk;
    if (bOk) {
      if (reserve.bWrite) {
        d.nReserved = reserve.nReserve;
        d.bRenewing = false;
      }
      d.figures.nSynced = std::max(d.figures.nSynced, nWritten);
      d.nDiskNextSeq = std::max(d.nDiskNextSeq, bWriteMarks ? nNextSeq : nDiskNext);
      if (bWriteMarks) {
        d.nAckWritten = nAck;
        d.nConfirmWritten = nConfirm;
      }
    } else {
      d.nReserveOnDisk = d.nReserved;  // what is synced: the next commit writes the reservation again
      d.figures.nNotKept += static_cast<long>(nDocs);
      BatchDue(d, TMyData::Clock::now());  // the marks, at least, are tried again with the next batch
    }
    d.nSyncsDone = std::max(d.nSyncsDone, nRequests);
    d.synced.notify_all();
    if (d.bStop && !d.bDue && d.pending.empty()) break;
    if (d.bStop && !bOk) break;  // stopping on a failing disk: what is left is not kept
  }
}

}  // namespace journal
