// Wheel status frame, console report, topic and status document.
#include "kestrin_frame.h"

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace frame {
namespace {

// The receive buffer is not NUL-terminated and a frame may carry any byte, so scanning and printing
// work on a terminated copy: nothing reads past the frame, and the raw data ends at its first NUL.
struct TFrameText {
  char s[kFrameLength + 1];

  explicit TFrameText(const unsigned char* pFrame) noexcept {
    std::memcpy(s, pFrame, kFrameLength);
    s[kFrameLength] = '\0';
  }
};

struct TErrorText {
  int nMask;
  const char* pText;
};

// The flag is sent as a decimal number but tested as bits, so the codes 10, 20 and 40 bring the
// texts of their single bits along with their own.
constexpr TErrorText kErrorTexts[] = {
    {0x01, "Cylinder too slow (< WHEEL MINIMUM SPEED)"},
    {0x02, "Rotation of the cylinder and Ball is in the same direction during the game"},
    {0x04, "Insufficient revolutions of the Ball (< MINIMUM TURNS VALID GAME)"},
    {0x08, "Ball out of cylinder"},
    {0x0A, "Cylinder speed faster than 30 RPM"},
    {0x14, "The encoder reads less or more than 74/76 or 314"},
    {0x28, "One or more sensors doesn't work correctly"},
};

}  // namespace

void Decode(const unsigned char* pFrame, TStatus* pStatus) noexcept {
  const TFrameText text(pFrame);
  // One scan straight into the record: a field that fails to convert, and every field after it, keeps
  // the previous frame's value, which is why the count of converted fields is not looked at.
  static_cast<void>(std::sscanf(
      text.s + 4, "%04d;%01d;%01c%01c;%04d;%01d;%04d;%01d;%04d;%04d;%02d\r\n", &pStatus->nSerial,
      &pStatus->nWheel, &pStatus->snWinning[0], &pStatus->snWinning[1], &pStatus->nSWheel, &pStatus->nDWheel,
      &pStatus->nSBall, &pStatus->ndBall, &pStatus->nDBall, &pStatus->nCGame, &pStatus->nFError));
  // Decided from whatever snWinning holds now, also when the scan stopped before reaching it.
  pStatus->snWinning[2] = '\0';
  pStatus->nWinning = std::strcmp(pStatus->snWinning, "  ") == 0 ? -1 : std::atoi(pStatus->snWinning);
}

std::string Report(const unsigned char* pFrame, const TStatus& status) {
  std::string report = "\nReceived packet (";
  if (status.nFError == 0) {
    report += "No error";
  } else {
    for (const TErrorText& error : kErrorTexts) {
      if ((status.nFError & error.nMask) == error.nMask) report += error.pText;
    }
  }
  report += "):\n   Raw data: ";
  report += TFrameText(pFrame).s;
  return report;
}

void FormatTopic(char* pTopic, int nSerial) noexcept {
  std::snprintf(pTopic, kTopicSize, "/rng/roulette/kestrin_live/%i/gameStatus", nSerial);
}

std::string Document(const TStatus& status) {
  // Inserted in this order; the writer lists the members in byte order of their keys anyway.
  Json::Value root;
  root["game id"] = status.nCGame;
  root["phase"] = status.nWheel;
  root["win number"] = status.nWinning;
  root["wheel speed"] = status.nSWheel;
  root["ball speed"] = status.nSBall;
  root["wheel direction"] = status.nDWheel;
  root["ball direction"] = status.ndBall;
  root["ball laps count"] = status.nDBall;
  root["error flag"] = status.nFError;
  return root.toStyledString();
}

}  // namespace frame
