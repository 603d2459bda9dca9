#include "kestrin_usage.h"

#include <cstdio>

#include "kestrin_control.h"

namespace usage {

void PrintDescription(const char* pOwnLines) noexcept {
  std::printf(
      "Reads the 42-byte status frames of a roulette wheel controller on DEVICE (19200 baud, 8N2) and\n"
      "publishes each as a JSON document with QoS 1 to the MQTT broker %s, topic\n"
      "/rng/roulette/kestrin_live/<wheel serial>/gameStatus.\n"
      "%s"
      "\n"
      "  DEVICE      the wheel's serial device, e.g. /dev/ttyUSB0 or /dev/serial/by-id/usb-...; \"AUTO\"\n"
      "              or \"auto\" tries /dev/ttyUSB0 to /dev/ttyUSB4, then /dev/ttyS0 to /dev/ttyS4\n"
      "  -h, --help  print this and exit\n"
      "  --version   print the name and version and exit\n"
      "\n",
      control::BrokerUri(), pOwnLines);
}

}  // namespace usage
