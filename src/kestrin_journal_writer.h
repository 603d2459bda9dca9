// The journal's writer thread: it commits (writes what WriteOut left, the marks and the reservation,
// then syncs) when the sync policy (kestrin_journal_sync.h) says, until the journal stops.
#pragma once

#include "kestrin_journal_l.h"

namespace journal {

// The thread's body, from Init to Destroy.
void WriterMain(TMyData* pData);

}  // namespace journal
