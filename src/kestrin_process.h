// What a program of the bridge does with its process: stop signals and job control.
#pragma once

namespace process {

// SIGINT, SIGTERM and SIGHUP (a closed terminal, a dropped ssh session) become control::RequestStop(),
// taken by a thread of their own with sigwait(), so no handler interrupts the bridge's threads.
// SIGPIPE, SIGTTIN and SIGTTOU are ignored: a closed console must not kill the bridge, and one started
// in the background of a shell must not be stopped by touching its terminal. Call first in main, before
// any other thread starts, so that every thread inherits the blocked signals.
void TakeStopSignals() noexcept;

// Waits up to nTimeoutMs (negative: no limit) for a stop; true when one was requested.
bool WaitForStop(int nTimeoutMs) noexcept;

}  // namespace process
