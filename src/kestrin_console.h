// Console output that never blocks the bridge: every line goes, in the order it was made, through a
// bounded queue to one writer thread. A stalled terminal, a pipe nobody reads or a stuck journal only
// stalls that writer; lines beyond the bound are dropped and counted, and one line in their place says
// how many were lost.
//
// Every line has a priority. The console program prints the lines as they are; the service entry
// switches on the "<N>" prefixes of sd-daemon(3), so that the journal keeps each line at its priority
// and the unit can leave the per-frame lines out.
#pragma once

#include <cstddef>

namespace console {

// Most lines the queue holds while the console does not take them.
constexpr std::size_t kQueueLines = 1000;

// Queues formatted text for standard output at priority info. Never blocks; callable from any thread,
// library callbacks included.
void Print(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// The same at the other priorities: the per-frame lines of a healthy wheel; events an operator should
// see (connection, device, silence, backlog); trouble with a frame or its delivery; a failed start-up.
void Debug(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Notice(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Warning(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Err(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// Standard error, at priority notice: a device that cannot be opened.
void Error(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// As perror(pPrefix), through the queue.
void Perror(const char* pPrefix) noexcept;

// Starts every line written from now on with its priority, "<N>". Call before the first line.
void PrefixPriorities() noexcept;

// Waits until everything queued so far has been written, at most nTimeoutMs. False when the console
// did not take it in time.
bool Flush(int nTimeoutMs) noexcept;

}  // namespace console
