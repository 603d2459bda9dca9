// What a program of the bridge does with its process: its standard descriptors, the stop signals and
// the stop request they ring, job control.
#pragma once

#include "kestrin_doorbell.h"

namespace process {

// SIGINT, SIGTERM and SIGHUP (a closed terminal, a dropped ssh session) become RequestStop(), taken by
// a thread of their own with sigwait(), so no handler interrupts the bridge's threads.
// SIGPIPE, SIGTTIN and SIGTTOU are ignored: a closed console must not kill the bridge, and one started
// in the background of a shell must not be stopped by touching its terminal. Call first in main, before
// any other thread starts, so that every thread inherits the blocked signals. With bRestartNotice (the
// service entry) SIGUSR1 is taken by the same thread as the notice that the stop to come is a restart
// (RestartNoticed): one thread takes both in the order they were sent, so a notice sent before the stop
// signal is seen before the stop.
void TakeStopSignals(bool bRestartNotice = false) noexcept;

// True once SIGUSR1 came (TakeStopSignals(true)).
bool RestartNoticed() noexcept;

// Asks the process to stop: ends the bridge's start-up in progress and makes StopDescriptor()
// readable. May be called from any thread; it is also async-signal-safe.
void RequestStop() noexcept;

// True once a stop has been requested.
bool StopRequested() noexcept;

// A descriptor that becomes readable, and stays so, once a stop is requested. Main waits on it beside
// standard input or its own events; the bridge's start-up waits on it beside the device and the broker.
int StopDescriptor() noexcept;

// Waits up to nTimeoutMs (negative: no limit) for a stop; true when one was requested.
bool WaitForStop(int nTimeoutMs) noexcept;

}  // namespace process
