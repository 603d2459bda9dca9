// Wheel status frame, console report, topic and status document.
#include "kestrin_frame.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace frame {
namespace {

// The receive buffer is not NUL-terminated and a frame may carry any byte, so scanning works on a
// terminated copy: nothing reads past the frame, and the scan stops at its first NUL.
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

// The fields between the separators: offset and width. The winning number (offset 11) is the one that
// may also be blank.
struct TField {
  int nOffset;
  int nWidth;
};
constexpr TField kFields[] = {{4, 4},  {9, 1},  {11, 2}, {14, 4}, {19, 1},
                              {21, 4}, {26, 1}, {28, 4}, {33, 4}, {38, 2}};
constexpr int kWinningOffset = 11;
constexpr int kFieldsEnd = 40;
constexpr int kSeparators[] = {8, 10, 13, 18, 20, 25, 27, 32, 37};

// As the frame's scan reads a field with "%0<width>d" (spaces, a sign, digits), but the conversion
// must take all of it: a field that reads only in part (an error flag "0x") would otherwise pass the
// scan. Only printable bytes come here, so ' ' is the only white space to skip. Written out rather
// than scanned: every frame passes here, and ten scans were a tenth of the bridge's own time.
bool ReadsWhole(const unsigned char* pField, int nWidth) {
  int i = 0;
  while (i < nWidth && pField[i] == ' ') ++i;
  if (i < nWidth && (pField[i] == '+' || pField[i] == '-')) ++i;
  if (i == nWidth) return false;  // no digit
  for (; i < nWidth; ++i)
    if (pField[i] < '0' || pField[i] > '9') return false;
  return true;
}

}  // namespace

bool WellFormed(const unsigned char* pFrame) noexcept {
  if (pFrame[0] != '*') return false;
  for (int i = 4; i < kFieldsEnd; ++i) {
    // Printable only: the scan would skip tabs and line ends inside a number, and the serial characters
    // become the broker's client identifier.
    if (pFrame[i] < 0x20 || pFrame[i] > 0x7E) return false;
    // A ';' inside a field would let the scan drift into the next field and still convert.
    const bool bSeparator =
        std::find(std::begin(kSeparators), std::end(kSeparators), i) != std::end(kSeparators);
    if ((pFrame[i] == ';') != bSeparator) return false;
  }
  for (const TField& field : kFields) {
    const unsigned char* pField = pFrame + field.nOffset;
    if (field.nOffset == kWinningOffset && pField[0] == ' ' && pField[1] == ' ') continue;
    if (!ReadsWhole(pField, field.nWidth)) return false;
  }
  return true;
}

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
  // Raw bytes would reach the terminal or the journal as control sequences (ESC, an 8-bit CSI) or cut
  // the line short (NUL).
  const bool bClosed = pFrame[kFrameLength - 2] == '\r' && pFrame[kFrameLength - 1] == '\n';
  const std::size_t nShown = bClosed ? kFrameLength - 2 : kFrameLength;
  for (std::size_t i = 0; i < nShown; ++i) {
    const unsigned char c = pFrame[i];
    if (c >= 0x20 && c <= 0x7E) {
      report += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      report += escaped;
    }
  }
  report += bClosed ? "\r\n" : "\n";
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
