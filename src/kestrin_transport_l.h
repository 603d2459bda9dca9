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
  long nDropped = 0;                 // bytes that did not fit the queue and are not reported yet
  bool bFailed = false;              // a read while filling failed; the next reception reports it
};

// The settings the link applies to its device: 19200 baud, 8 data bits, no parity, 2 stop bits,
// receiver on, modem lines ignored; no input, output or local processing; VMIN = VTIME = 0.
termios LineSettings() noexcept;

}  // namespace transport
