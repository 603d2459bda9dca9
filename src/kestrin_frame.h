// Wheel status frame, console report, topic and status document: pure functions of their inputs.
#pragma once

#include <cstddef>
#include <string>

namespace frame {

constexpr std::size_t kFrameLength = 42;
constexpr std::size_t kTopicSize = 256;

// Values decoded from a frame. Decode overwrites every field of a well-formed frame; in a malformed one a
// field that does not decode keeps the value the record held before (0, and an empty snWinning, in a
// fresh record).
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

// True when every field of the frame holds exactly its value: the frame starts with '*', the fields
// (bytes 4 to 39) are printable ASCII, ';' stands at offsets 8, 10, 13, 18, 20, 25, 27, 32 and 37 and
// nowhere else among them, each numeric field reads whole as a decimal number (leading spaces and a sign
// allowed), and the winning number is two spaces or reads whole the same way. Bytes 1 to 3 and 40 to 41
// are not looked at. Only such a frame is published.
bool WellFormed(const unsigned char* pFrame) noexcept;

// Decodes the kFrameLength bytes at pFrame into *pStatus. The frame need not be NUL-terminated and
// may hold any bytes. A field that fails to convert, and every field after it, keeps its value.
void Decode(const unsigned char* pFrame, TStatus* pStatus) noexcept;

// The console report of one frame: "\nReceived packet (<errors>):\n   Raw data: <frame>". The raw
// data shows every byte outside printable ASCII as \xNN, except a closing CR LF, which ends the line as
// it is; a frame without one gets a line end of its own, so the report always ends its line.
std::string Report(const unsigned char* pFrame, const TStatus& status);

// Writes "/rng/roulette/kestrin_live/<serial>/gameStatus" into pTopic (kTopicSize bytes).
void FormatTopic(char* pTopic, int nSerial) noexcept;

// The styled JSON status document, exactly as published.
std::string Document(const TStatus& status);

}  // namespace frame
