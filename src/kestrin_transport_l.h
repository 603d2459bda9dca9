// The serial link's record; only the link and its tests see it.
#pragma once

#include <termios.h>

#include <cstdint>

namespace transport {

// Bytes read from the device are cut into frames here; a reception that ends early leaves its begun
// frame, and whatever followed it, for the next call.
constexpr int kWorkAreaSize = 261;

struct TMyData {
  std::int32_t hSerial = -1;
  termios oldopt{};  // settings found at Init, written back by Destroy
  termios newopt{};  // settings applied by Init
  // Read but not yet handed out: empty, or a begun frame (its start byte first) and the bytes after it.
  unsigned char work[kWorkAreaSize] = {};
  int nWorkLength = 0;
};

// The settings the link applies to its device: 19200 baud, 8 data bits, no parity, 2 stop bits,
// receiver on, modem lines ignored; no input, output or local processing; VMIN = VTIME = 0.
termios LineSettings() noexcept;

}  // namespace transport
