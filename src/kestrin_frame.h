// Wheel status frame, console report, topic and status document: pure functions of their inputs.
#pragma once

#include <cstddef>
#include <string>

namespace frame {

constexpr std::size_t kFrameLength = 42;
constexpr std::size_t kTopicSize = 256;

// Values decoded from the frames seen so far. A field that does not decode keeps the value of the
// previous frame; before the first frame that sets a field it holds 0 (and snWinning is empty).
struct TStatus {
  int nSerial = 0;
  int nWheel = 0;
  int nWinning = 0;
  int nSWheel = 0;
  int nDWheel = 0;
  int nSBall = 0;
  int ndBall = 0;
  int nDBall = 0;
  int nCGame = 0;
  int nFError = 0;
  char snWinning[3] = {0, 0, 0};
};

// Decodes the kFrameLength bytes at pFrame into *pStatus. The frame need not be NUL-terminated and
// may hold any bytes. A field that fails to convert, and every field after it, keeps its value.
void Decode(const unsigned char* pFrame, TStatus* pStatus) noexcept;

// The console report of one frame: "\nReceived packet (<errors>):\n   Raw data: <frame>". The raw
// data ends at the frame's first NUL byte, or after its last byte when it has none.
std::string Report(const unsigned char* pFrame, const TStatus& status);

// Writes "/rng/roulette/kestrin_live/<serial>/gameStatus" into pTopic (kTopicSize bytes).
void FormatTopic(char* pTopic, int nSerial) noexcept;

// The styled JSON status document, exactly as published.
std::string Document(const TStatus& status);

}  // namespace frame
