// Console output that never blocks the bridge: every line goes, in the order it was made, through a
// bounded queue to one writer thread. A stalled terminal, a pipe nobody reads or a stuck journal only
// stalls that writer; lines beyond the bound are dropped and counted, and once output flows again one
// line says how many were lost.
#pragma once

#include <cstddef>

namespace console {

// Most lines the queue holds while the console does not take them.
constexpr std::size_t kQueueLines = 1000;

// Queues formatted text for standard output. Never blocks; callable from any thread, library callbacks
// included.
void Print(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// The same for standard error.
void Error(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// As perror(pPrefix), through the queue.
void Perror(const char* pPrefix) noexcept;

// Waits until everything queued so far has been written, at most nTimeoutMs. False when the console
// did not take it in time.
bool Flush(int nTimeoutMs) noexcept;

}  // namespace console
