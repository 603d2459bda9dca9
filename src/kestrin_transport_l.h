// The serial link's record; only the link and its tests see it.
#pragma once

#include <termios.h>

#include <cstdint>

namespace transport {

struct TMyData {
  std::int32_t hSerial = -1;
  termios oldopt{};  // settings found at Init, written back by Destroy
  termios newopt{};  // settings applied by Init
};

// The settings the link applies to its device: 19200 baud, 8 data bits, no parity, 2 stop bits,
// receiver on, modem lines ignored; no input, output or local processing; VMIN = VTIME = 0.
termios LineSettings() noexcept;

}  // namespace transport
