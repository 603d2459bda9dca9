// Serial link to the wheel controller: opens the device, cuts its byte stream into status frames and
// restores the device's settings at the end.
#pragma once

#include <termios.h>

#include <cstdint>

typedef void* ThKestrinTrans;

namespace transport {

constexpr int kFrameLength = 42;
constexpr unsigned char kStartByte = '*';

// Results of ReciveMsg; every failure leaves *DataLength at 0.
constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kSearchFailed = -2;  // the device failed or hung up before a start byte
constexpr int kFrameFailed = -3;   // the device failed or hung up inside a frame
constexpr int kInterrupted = -4;   // the wake descriptor became readable
constexpr int kTimedOut = -5;      // no whole frame within the time given
constexpr int kNoFrame = -6;       // Take: no whole frame is queued

// Opens Device at 19200 baud 8N2, raw, and takes an exclusive lock on it. Null when Device is null,
// SlaveId > 125, or the device cannot be opened or is locked by another program (reported on stderr).
ThKestrinTrans Init(char* Device, unsigned char SlaveId) noexcept;

// As Init, but prints nothing when the device cannot be opened or is locked: the reason (an errno
// value, EWOULDBLOCK for a lock held by another program) is left in *pError for the caller to report.
// The line announcing the open port is printed only when bAnnounce is set.
ThKestrinTrans InitQuiet(char* Device, bool bAnnounce, int* pError) noexcept;

// Waits for the next whole frame with no time limit and copies its 42 bytes to pDest. Bytes read after
// the frame stay in the link for the next call. A malformed frame with a start byte inside it is handed
// out whole, and the search for the next one starts again at that start byte.
int ReciveMsg(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength) noexcept;

// As ReciveMsg, but gives up with kTimedOut after nTimeoutMs (negative: no limit) and with
// kInterrupted as soon as nWakeFd (negative: none) is readable. Another thread wakes a pending call
// by making nWakeFd readable, e.g. by writing to an eventfd. A frame that is already there is returned
// even when the time has run out; one begun when a call gives up is finished by the next call.
int ReciveMsgWithin(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength, int nTimeoutMs,
                    int nWakeFd) noexcept;

// Moves what the device holds into the link's queue without waiting; for a caller that is busy between
// receptions and saw Descriptor() readable. kOk, or kSearchFailed / kFrameFailed when the device failed:
// the frames already queued are still handed out, then the next reception reports the failure.
int Fill(ThKestrinTrans hInst) noexcept;

// The device's descriptor, to wait on for Fill(); -1 for null or once the device has failed.
int Descriptor(ThKestrinTrans hInst) noexcept;

// How long ago the frame last handed out had come whole, in ms; -1 for null or before the first frame.
long FrameAgeMs(ThKestrinTrans hInst) noexcept;

// True while the link holds the first bytes of a frame that has not yet come whole.
bool FrameBegun(ThKestrinTrans hInst) noexcept;

// Bytes that have arrived and not yet been handed out as frames: those held in the link and those still
// queued in the device. -1 for null or when the device cannot tell.
int QueuedBytes(ThKestrinTrans hInst) noexcept;

// True for a frame the link cuts whole: well formed (frame::WellFormed) and ending in CR LF. Any other
// frame is malformed, and the search for the next one starts again at a start byte inside it.
bool WholeFrame(const unsigned char* pFrame) noexcept;

// Hands out the next frame already queued, whole or malformed, without reading the device; kNoFrame when
// none is.
int Take(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength) noexcept;

// Whole frames queued in the link (noise and malformed frames not counted); -1 for null. It searches the
// whole queue: for a line or a status, not for every frame.
int QueuedFrames(ThKestrinTrans hInst) noexcept;

// Whole frames that gave way, oldest first, because the queue was full, since the last call. The link
// keeps up to 1 MiB of the wheel's bytes; when it is full, its oldest 64 KiB give way in whole frames.
long TakeDroppedFrames(ThKestrinTrans hInst) noexcept;

// Start bytes ever queued: it grows as frames begin to arrive, whether or not they are taken yet.
std::uint64_t FramesBegun(ThKestrinTrans hInst) noexcept;

// Puts back the device's settings and closes it after a failure, keeping the queued frames, which are
// still handed out; no frame is cut across the failure. Descriptor() is then -1.
void Release(ThKestrinTrans hInst) noexcept;

// Opens the released link's device again (its path as given to Init), behind the frames it still holds.
// As InitQuiet: false with the reason in *pError; "Port je odprt" only when bAnnounce. True at once when
// the device is open.
bool Reopen(ThKestrinTrans hInst, bool bAnnounce, int* pError) noexcept;

// Takes over nFd, an open descriptor of Device that a service manager kept across a restart of the
// bridge, as InitQuiet would open Device, but without flushing: what the wheel sent meanwhile waits
// in the device. original: the settings the device had before the first bridge set its own, which
// Destroy writes back. Null, with nFd closed, when nFd is not Device's open terminal.
ThKestrinTrans Adopt(int nFd, char* Device, const termios& original) noexcept;

// The settings that Destroy writes back: found by the first open, or given to Adopt.
termios OriginalSettings(ThKestrinTrans hInst) noexcept;

// Destroy leaves the device's settings as they are: for a descriptor that the service manager keeps
// open for the next start, which goes on reading with them.
void KeepSettings(ThKestrinTrans hInst) noexcept;

// Puts back the device's settings found at Init and closes it. Null does nothing.
void Destroy(ThKestrinTrans hInst) noexcept;

}  // namespace transport
