// Console output that never blocks the bridge: every line goes, in the order it was made, through a
// bounded queue to one writer thread. A stalled terminal, a pipe nobody reads or a stuck journal only
// stalls that writer; lines beyond the bound are dropped and counted, and one line in their place says
// how many were lost. The lines of frames give way first: a stalled console keeps the events (device,
// broker, backlog, silence, shutdown) while it drops frame lines.
//
// The lines of frames are written together: they wait up to kFrameLinesMs for the rest of the frame
// and the frames after it, and then go out in one write, with one wake-up of the writer (a wake-up costs
// more than the write). Any other line goes out at once, with everything queued before it.
//
// Every line has a priority. The console program prints the lines as they are; the service entry
// switches on the "<N>" prefixes of sd-daemon(3), so that the journal keeps each line at its priority
// and the unit can leave the per-frame lines out.
#pragma once

#include <cstddef>

namespace console {

// Most frame lines the queue holds while the console does not take them.
constexpr std::size_t kQueueLines = 1000;
// Most other lines (events) it holds besides them; frame lines never take their room.
constexpr std::size_t kEventLines = 500;
// How long the lines of a frame may wait before they are written: a console a quarter of a second
// behind is still live to its reader, and a wheel at 5 frames/s costs the writer about one wake-up a
// frame at most.
constexpr int kFrameLinesMs = 250;

// Queues formatted text for standard output at priority info. Never blocks; callable from any thread,
// library callbacks included.
void Print(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// The same at the other priorities. Debug is for the lines of each frame of a healthy wheel (its
// report, its publication's progress); Notice for events an operator should see (connection, device,
// silence, backlog); Warning for trouble; Err for a failed start-up.
void Debug(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Notice(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Warning(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));
void Err(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// A frame line at priority warning: the report of a frame with an error flag or a malformed frame, a
// publication that failed. Like Debug's lines, these give way to events on a stalled console.
void FrameWarning(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// Standard error, at priority notice: a device that cannot be opened.
void Error(const char* pFormat, ...) noexcept __attribute__((format(printf, 1, 2)));

// As perror(pPrefix), through the queue.
void Perror(const char* pPrefix) noexcept;

// Queues text without a line end that waits for an answer ("Press ENTER to exit..."). A line queued
// after it, on standard output or an error on the same terminal, starts on a line of its own.
void Prompt(const char* pText) noexcept;

// Starts every line written from now on with its priority, "<N>", and ends an unfinished line before
// text of another priority, so that each journal entry carries its own. Call before the first line.
void PrefixPriorities() noexcept;

// Waits until everything queued so far has been written, at most nTimeoutMs. False when the console
// did not take it in time.
bool Flush(int nTimeoutMs) noexcept;

}  // namespace console
