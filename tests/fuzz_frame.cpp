// Arbitrary 42-byte frames through the check, decoding, report, topic and document.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrin_frame.h"

namespace {

// The raw data shows only printable ASCII, then the frame's own CR LF or a line end of its own.
bool RawDataPrintable(const std::string& report) {
  const std::string marker = "):\n   Raw data: ";
  const std::size_t at = report.find(marker);
  if (at == std::string::npos) return false;
  std::string raw = report.substr(at + marker.size());
  if (raw.ends_with("\r\n")) {
    raw.resize(raw.size() - 2);
  } else if (raw.ends_with("\n")) {
    raw.resize(raw.size() - 1);
  } else {
    return false;
  }
  return std::all_of(raw.begin(), raw.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The input shaped like a frame: start byte and separators in place, field bytes mostly digits, so that
// well-formed frames and frames with one or two faults come up often.
std::vector<unsigned char> Shaped(const std::vector<unsigned char>& bytes) {
  static const char kOthers[] = " +-x;*\t\r\x80\xff";
  std::vector<unsigned char> shaped(bytes);
  shaped[0] = '*';
  for (std::size_t i = 4; i < 40; ++i) {
    const unsigned char b = bytes[i];
    shaped[i] = b < 230 ? static_cast<unsigned char>('0' + b % 10) : kOthers[b % (sizeof kOthers - 1)];
  }
  for (int at : {8, 10, 13, 18, 20, 25, 27, 32, 37}) shaped[at] = ';';
  if (bytes[40] < 128) {
    shaped[40] = '\r';
    shaped[41] = '\n';
  }
  return shaped;
}

void Check(const std::vector<unsigned char>& bytes) {
  const bool bWellFormed = frame::WellFormed(bytes.data());
  frame::TStatus status;
  frame::Decode(bytes.data(), &status);
  const std::string report = frame::Report(bytes.data(), status);
  const std::string document = frame::Document(status);
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, status.nSerial);

  // Decoding the same frame again changes nothing: its result depends only on the frame and the old values.
  frame::TStatus again = status;
  frame::Decode(bytes.data(), &again);
  if (frame::Document(again) != document || again.nSerial != status.nSerial ||
      std::memcmp(again.snWinning, status.snWinning, sizeof status.snWinning) != 0) {
    std::abort();
  }

  if (bWellFormed) {
    // A well-formed frame converts all eleven fields with the frame's own scan and has its separators
    // in place...
    char text[frame::kFrameLength + 1] = {};
    std::memcpy(text, bytes.data(), frame::kFrameLength);
    int n[9];
    char c[2];
    if (std::sscanf(text + 4, "%04d;%01d;%01c%01c;%04d;%01d;%04d;%01d;%04d;%04d;%02d\r\n", &n[0], &n[1],
                    &c[0], &c[1], &n[2], &n[3], &n[4], &n[5], &n[6], &n[7], &n[8]) != 11) {
      std::abort();
    }
    for (int at : {8, 10, 13, 18, 20, 25, 27, 32, 37}) {
      if (bytes[at] != ';') std::abort();
    }
    // ...and decodes to the same values whatever an earlier frame left behind.
    frame::TStatus stale;
    stale.nSerial = stale.nWheel = stale.nWinning = stale.nSWheel = stale.nDWheel = stale.nSBall =
        stale.ndBall = stale.nDBall = stale.nCGame = stale.nFError = 77;
    stale.snWinning[0] = stale.snWinning[1] = '?';
    frame::Decode(bytes.data(), &stale);
    if (frame::Document(stale) != document || stale.nSerial != status.nSerial ||
        std::memcmp(stale.snWinning, status.snWinning, sizeof status.snWinning) != 0) {
      std::abort();
    }
    // Its serial characters make a client identifier the broker takes.
    for (int i = 4; i < 8; ++i) {
      if (bytes[i] < 0x20 || bytes[i] > 0x7E) std::abort();
    }
  }

  if (!report.starts_with("\nReceived packet (")) std::abort();
  if (!RawDataPrintable(report)) std::abort();
  if (!document.starts_with("{\n\t\"ball direction\" : ") || !document.ends_with("}\n")) std::abort();
  if (document.find('\r') != std::string::npos) std::abort();
  if (std::strncmp(topic, "/rng/roulette/kestrin_live/", 27) != 0) std::abort();
  if (!std::string(topic).ends_with("/gameStatus")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
  // Cut or zero-pad to one frame, alone in a heap block of its size so over-reads are caught.
  std::vector<unsigned char> bytes(frame::kFrameLength);
  std::memcpy(bytes.data(), pData, std::min(size, frame::kFrameLength));
  Check(bytes);
  const std::vector<unsigned char> shaped = Shaped(bytes);
  Check(shaped);
  // Digits in every field make a well-formed frame, whatever the values.
  int nDigits = 0;
  for (std::size_t i = 4; i < 40; ++i) nDigits += std::isdigit(shaped[i]) ? 1 : 0;
  const bool bAllDigits = nDigits == 36 - 9;  // all but the nine separators
  if (bAllDigits && !frame::WellFormed(shaped.data())) std::abort();
  return 0;
}
