// Arbitrary 42-byte frames through decoding, report, topic and document.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrin_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
  // Cut or zero-pad to one frame, alone in a heap block of its size so over-reads are caught.
  std::vector<unsigned char> bytes(frame::kFrameLength);
  std::memcpy(bytes.data(), pData, std::min(size, frame::kFrameLength));

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

  if (!report.starts_with("\nReceived packet (")) std::abort();
  if (report.find("):\n   Raw data: ") == std::string::npos) std::abort();
  if (!document.starts_with("{\n\t\"ball direction\" : ") || !document.ends_with("}\n")) std::abort();
  if (document.find('\r') != std::string::npos) std::abort();
  if (std::strncmp(topic, "/rng/roulette/kestrin_live/", 27) != 0) std::abort();
  if (!std::string(topic).ends_with("/gameStatus")) std::abort();
  return 0;
}
