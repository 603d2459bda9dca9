// The serial link's record; only the link and its tests see it.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>

namespace transport {

// Bytes read from the device wait here until they are cut into frames. The device's own input queue
// holds only a few KiB (some 20 s of a wheel), so the link takes what the device holds whenever it is
// readable, also while its user is busy, and keeps up to this much: over 10 minutes of a wheel at
// 40 frames/s. Pages are touched only as the queue grows.
constexpr int kQueueSize = 1 << 20;
// When the queue is full, this much of its oldest part gives way, in whole frames.
constexpr int kGiveWaySize = kQueueSize / 16;
// Arrival entries kept at most; beyond it new bytes share the newest entry. Entries are let go as their
// bytes are taken, so only a queue of bytes trickling in far apart comes near this.
constexpr std::size_t kMaxArrivals = 4096;

struct TMyData {
  std::int32_t hSerial = -1;
  termios oldopt{};     // settings found at Init, written back by Destroy
  termios newopt{};     // settings applied by Init
  char name[100] = {};  // the device's path, for the line that counts dropped bytes
  // Read but not yet handed out, at queue[nHead, nTail): empty, or a begun frame (its start byte first)
  // and the bytes after it, or bytes still to be searched.
  std::unique_ptr<unsigned char[]> queue{new unsigned char[kQueueSize]};
  int nHead = 0;
  int nTail = 0;
  // When the bytes arrived: each entry holds a byte count (of all bytes ever queued) and the time the
  // bytes up to that count had arrived by. Reads close together share an entry.
  using Clock = std::chrono::steady_clock;
  std::deque<std::pair<std::uint64_t, Clock::time_point>> arrivals;
  std::uint64_t nQueuedTotal = 0;    // bytes ever queued
  std::uint64_t nTakenTotal = 0;     // bytes ever handed out or skipped
  Clock::time_point frameArrived{};  // when the last frame handed out had come whole
  long nDroppedFrames = 0;           // whole frames that gave way to newer bytes, not yet collected
  std::uint64_t nStarts = 0;         // start bytes ever queued: frames that have begun to arrive
  // Bytes ever queued when the device was released: no frame is cut across that point, so a frame
  // the failure cut short never swallows the first bytes of the reopened device.
  std::uint64_t nCut = 0;
  bool bFailed = false;              // a read while filling failed; the next reception reports it
  bool bKeepSettings = false;        // Destroy leaves the settings as they are (KeepSettings)
};

// The settings the link applies to its device: 19200 baud, 8 data bits, no parity, 2 stop bits,
// receiver on, modem lines ignored; no input, output or local processing; VMIN = VTIME = 0.
termios LineSettings() noexcept;

}  // namespace transport
