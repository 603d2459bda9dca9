// Frame decoding, report, topic and document as golden pairs: frame in, exact text out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "kestrin_frame.h"
#include "kestrin_status_topic.h"

namespace {

using frame::kFrameLength;
using frame::TStatus;

// The fields of a well-formed frame; each test changes only those it is about.
struct TFields {
  std::string_view serial = "0123", phase = "2", win = "  ", wheelSpeed = "0250", wheelDir = "1",
                   ballSpeed = "0900", ballDir = "0", laps = "0012", game = "0123", error = "00";
};

std::string Frame(const TFields& f) {
  std::string s = "*ABC";
  for (std::string_view field :
       {f.serial, f.phase, f.win, f.wheelSpeed, f.wheelDir, f.ballSpeed, f.ballDir, f.laps, f.game}) {
    s.append(field).append(";");
  }
  s.append(f.error).append("\r\n");
  return s;
}

// The frame fills its heap block exactly, as the receive buffer does, so AddressSanitizer reports any
// read past byte 42.
std::vector<unsigned char> Heap(std::string_view bytes) {
  EXPECT_EQ(bytes.size(), kFrameLength);
  std::vector<unsigned char> block(kFrameLength);
  std::memcpy(block.data(), bytes.data(), std::min(bytes.size(), kFrameLength));
  return block;
}

TStatus Decoded(std::string_view bytes, TStatus status = {}) {
  frame::Decode(Heap(bytes).data(), &status);
  return status;
}

std::string ReportOf(std::string_view bytes) { return frame::Report(Heap(bytes).data(), Decoded(bytes)); }

std::string Topic(int nSerial) {
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, nSerial);
  return topic;
}

// In the frame's order, the winning number as text and as number.
auto Values(const TStatus& s) {
  return std::tuple(s.nSerial, s.nWheel, std::string(s.snWinning), s.nWinning, s.nSWheel, s.nDWheel, s.nSBall,
                    s.ndBall, s.nDBall, s.nCGame, s.nFError);
}

const std::string kT1 = "Cylinder too slow (< WHEEL MINIMUM SPEED)";
const std::string kT2 = "Rotation of the cylinder and Ball is in the same direction during the game";
const std::string kT3 = "Insufficient revolutions of the Ball (< MINIMUM TURNS VALID GAME)";
const std::string kT4 = "Ball out of cylinder";
const std::string kT5 = "Cylinder speed faster than 30 RPM";
const std::string kT6 = "The encoder reads less or more than 74/76 or 314";
const std::string kT7 = "One or more sensors doesn't work correctly";

TEST(FrameGolden, WellFormedFrameGivesReportTopicAndDocument) {
  const std::string bytes = Frame({});
  EXPECT_EQ(ReportOf(bytes),
            "\nReceived packet (No error):\n   Raw data: *ABC0123;2;  ;0250;1;0900;0;0012;0123;00\r\n");
  EXPECT_EQ(Topic(Decoded(bytes).nSerial), "/rng/roulette/kestrin_live/123/gameStatus");
  const std::string document = frame::Document(Decoded(bytes));
  EXPECT_EQ(document,
            "{\n"
            "\t\"ball direction\" : 0,\n"
            "\t\"ball laps count\" : 12,\n"
            "\t\"ball speed\" : 900,\n"
            "\t\"error flag\" : 0,\n"
            "\t\"game id\" : 123,\n"
            "\t\"phase\" : 2,\n"
            "\t\"wheel direction\" : 1,\n"
            "\t\"wheel speed\" : 250,\n"
            "\t\"win number\" : -1\n"
            "}\n");
  EXPECT_EQ(document.size(), 189u);
}

TEST(FrameGolden, NegativeAndZeroPaddedValuesArePlainIntegers) {
  EXPECT_EQ(frame::Document(Decoded(Frame(
                {.win = "07", .wheelSpeed = "-250", .ballSpeed = "-001", .laps = "0000", .game = "0007"}))),
            "{\n"
            "\t\"ball direction\" : 0,\n"
            "\t\"ball laps count\" : 0,\n"
            "\t\"ball speed\" : -1,\n"
            "\t\"error flag\" : 0,\n"
            "\t\"game id\" : 7,\n"
            "\t\"phase\" : 2,\n"
            "\t\"wheel direction\" : 1,\n"
            "\t\"wheel speed\" : -250,\n"
            "\t\"win number\" : 7\n"
            "}\n");
}

TEST(FrameDecode, WinningNumber) {
  const struct {
    std::string_view field;
    int nWinning;
  } cases[] = {{"  ", -1}, {"00", 0}, {"36", 36}, {" 7", 7}, {"7 ", 7}, {"07", 7}, {"-5", -5}, {"x5", 0}};
  for (const auto& c : cases) {
    const TStatus status = Decoded(Frame({.win = c.field}));
    EXPECT_EQ(status.snWinning, c.field) << "field '" << c.field << "'";
    EXPECT_EQ(status.nWinning, c.nWinning) << "field '" << c.field << "'";
    const std::string tail = "\t\"win number\" : " + std::to_string(c.nWinning) + "\n}\n";
    EXPECT_TRUE(frame::Document(status).ends_with(tail)) << "field '" << c.field << "'";
  }
}

TEST(FrameReport, ErrorTextsInOrderRunTogether) {
  const struct {
    std::string_view code;
    std::string texts;
  } cases[] = {
      {"00", "No error"},
      {"01", kT1},
      {"10", kT2 + kT4 + kT5},  // 0x0A: its two bits and its own text
      {"20", kT3 + kT6},        // 0x14
      {"40", kT4 + kT7},        // 0x28
      {"07", kT1 + kT2 + kT3},
      {"12", kT3 + kT4},  // 0x0C holds one bit of each pair but no whole pair
      {"63", kT1 + kT2 + kT3 + kT4 + kT5 + kT6 + kT7},
      {"64", ""},  // bit 0x40 has no text, and the flag is not 0: no text at all
  };
  for (const auto& c : cases) {
    const std::string bytes = Frame({.error = c.code});
    EXPECT_EQ(ReportOf(bytes), "\nReceived packet (" + c.texts + "):\n   Raw data: " + bytes) << c.code;
  }
}

TEST(FrameTopic, SerialIsAPlainInteger) {
  EXPECT_EQ(Topic(Decoded(Frame({.serial = "0007"})).nSerial), "/rng/roulette/kestrin_live/7/gameStatus");
  EXPECT_EQ(Topic(Decoded(Frame({.serial = "0042"})).nSerial), "/rng/roulette/kestrin_live/42/gameStatus");
  EXPECT_EQ(Topic(Decoded(Frame({.serial = "9999"})).nSerial), "/rng/roulette/kestrin_live/9999/gameStatus");
}

// After a malformed field the scan stops: that field and all later ones keep the previous frame's values.
TEST(FrameDecode, MalformedFieldKeepsEarlierValues) {
  const TStatus previous = Decoded("*ABC0001;1;05;0100;0;0200;1;0003;0004;01\r\n");
  const TFields next = {"0002", "2", "  ", "0300", "1", "0400", "0", "0006", "0008", "00"};
  const struct {
    std::string_view TFields::*field;
    std::string_view bytes;
    decltype(Values(previous)) values;
  } cases[] = {
      {&TFields::ballSpeed, "xx00", {2, 2, "  ", -1, 300, 1, 200, 1, 3, 4, 1}},
      {&TFields::ballSpeed, "09x0", {2, 2, "  ", -1, 300, 1, 9, 1, 3, 4, 1}},  // "09" converts
      {&TFields::phase, "x", {2, 1, "05", 5, 100, 0, 200, 1, 3, 4, 1}},  // stops before the winning number
      {&TFields::error, "x0", {2, 2, "  ", -1, 300, 1, 400, 0, 6, 8, 1}},
      // Stops between the two winning-number characters: the number is read from the half-new field.
      {&TFields::win, std::string_view("3\0", 2), {2, 2, "35", 35, 100, 0, 200, 1, 3, 4, 1}},
      {&TFields::serial, "----", Values(previous)},
  };
  for (const auto& c : cases) {
    TFields fields = next;
    fields.*c.field = c.bytes;
    EXPECT_EQ(Values(Decoded(Frame(fields), previous)), c.values) << c.bytes;
  }
}

TEST(FrameDecode, FirstFrameWithNothingDecodableLeavesZeros) {
  const TStatus status = Decoded(std::string(kFrameLength, 'x'));
  EXPECT_EQ(Values(status), Values(TStatus{}));
}

// Bytes outside printable ASCII are shown as \xNN, but for the closing CR LF; the line always ends.
TEST(FrameReport, RawDataShowsOnlyPrintableBytes) {
  const std::string head = "\nReceived packet (No error):\n   Raw data: ";
  std::string withNul = Frame({.win = "36"});
  withNul[19] = '\0';
  EXPECT_EQ(ReportOf(withNul), head + "*ABC0123;2;36;0250;\\x00;0900;0;0012;0123;00\r\n");
  // The scan stops at the NUL.
  EXPECT_EQ(Values(Decoded(withNul)), std::tuple(123, 2, std::string("36"), 36, 250, 0, 0, 0, 0, 0, 0));

  std::string unterminated = Frame({.error = "01"});
  unterminated[40] = '\xff';
  unterminated[41] = '9';
  EXPECT_EQ(ReportOf(unterminated),
            "\nReceived packet (" + kT1 + "):\n   Raw data: " + unterminated.substr(0, 40) + "\\xff9\n");

  std::string escapes = Frame({});
  escapes.replace(1, 3, "\x1b[J");  // clears the screen from the cursor
  escapes[40] = '\r';
  escapes[41] = '\x9b';  // an 8-bit CSI
  EXPECT_EQ(ReportOf(escapes), head + "*\\x1b[J" + escapes.substr(4, 36) + "\\x0d\\x9b\n");

  std::string nuls_shown;
  for (std::size_t i = 0; i < kFrameLength; ++i) nuls_shown += "\\x00";
  EXPECT_EQ(ReportOf(std::string(kFrameLength, '\0')), head + nuls_shown + "\n");
}

// Only a frame whose every field holds exactly its value is published.
TEST(FrameCheck, WellFormedFrames) {
  const auto with = [](std::string bytes, std::size_t at, std::string_view part) {
    return bytes.replace(at, part.size(), part);
  };
  const std::string good = Frame({});
  const std::string next = Frame({.game = "0124"});
  const struct {
    std::string bytes;
    bool bWellFormed;
    const char* pWhat;
  } rows[] = {
      {good, true, "as the wheel sends it"},
      {Frame({.serial = "9999", .phase = "4", .win = "36", .error = "63"}), true, "other values"},
      {Frame({.win = "00"}), true, "winning number 0"},
      {Frame({.win = " 7"}), true, "winning number with a leading space"},
      {Frame({.wheelSpeed = "-250", .ballSpeed = " +12", .game = "  07"}), true, "signs and leading spaces"},
      {with(good, 1, "\x01\xff;"), true, "bytes 1 to 3 are not looked at"},
      {with(good, 40, "*L"), true, "no closing CR LF: the values are whole"},
      {good.substr(0, 20) + next.substr(0, 22), false, "truncated and glued to the next frame"},
      {Frame({.serial = "43\xb1\x31"}), false, "noise in the serial number"},
      {Frame({.serial = "\x80\x81\x82\x83"}), false, "serial characters that are no client identifier"},
      {Frame({.serial = "\t042"}), false, "a control character the scan would skip"},
      {Frame({.phase = "4", .win = "xx"}), false, "garbled winning number"},
      {Frame({.win = "x5"}), false, "winning number not a number"},
      {Frame({.win = "7 "}), false, "winning number read only in part"},
      {Frame({.ballSpeed = "xx00"}), false, "a field that does not convert"},
      {Frame({.ballSpeed = "09x0"}), false, "a field that converts only in part"},
      {Frame({.error = "0x"}), false, "an error flag that converts only in part"},
      {Frame({.serial = "    "}), false, "a blank number"},
      {Frame({.phase = "-"}), false, "a sign without digits"},
      {with(good, 14, "12;4"), false, "a ';' inside a field"},
      {with(good, 8, ","), false, "a separator out of place"},
      {std::string(kFrameLength, '*'), false, "42 start bytes"},
      {std::string(kFrameLength, '\0'), false, "nothing at all"},
      {with(good, 0, "#"), false, "no start byte"},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(row.bytes.size(), kFrameLength) << row.pWhat;
    EXPECT_EQ(frame::WellFormed(Heap(row.bytes).data()), row.bWellFormed) << row.pWhat;
  }
}

TEST(FrameDocument, MembersInKeyOrderWithoutCarriageReturn) {
  const std::vector<std::string> order = {"ball direction",  "ball laps count", "ball speed",
                                          "error flag",      "game id",         "phase",
                                          "wheel direction", "wheel speed",     "win number"};
  for (const std::string& bytes :
       {Frame({}), Frame({.win = "36", .error = "63"}), std::string(kFrameLength, '\0')}) {
    const std::string document = frame::Document(Decoded(bytes));
    EXPECT_EQ(document.find('\r'), std::string::npos);
    std::vector<std::string> keys;
    std::istringstream lines(document);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("\t\"")) keys.push_back(line.substr(2, line.find('"', 2) - 2));
    }
    EXPECT_EQ(keys, order);
  }
}

// The status topic's document and its timing (kestrin_status_topic.h).
TEST(StatusTopic, TopicDocumentAndWill) {
  EXPECT_EQ(status_topic::Topic("0042"), "/rng/roulette/kestrin_live/42/bridgeStatus");
  health::THealth h;
  h.nState = health::kBehind;
  h.nStateSinceMs = 1796750000123;  // 2026-12-08T17:13:20Z
  h.nLastFrameMs = 1796750004999;
  h.nPublished = 1234;
  h.nDropped = 2;
  h.nMalformed = 3;
  h.nUnconfirmed = 1;
  h.nBehindSeconds = 4;
  h.nSeq = 18446744073709551615u;  // 64 bits, not a double's 53
  h.nEpoch = 7;
  h.nJournalGivenWay = 5;
  h.bSigned = true;
  h.nCheckpointSeq = 5000;
  std::strcpy(h.siteDiffers, "the site's record of wheel 42 at seq 5000 differs from what this box sent");
  h.nNotHeld = 6;
  const status_topic::TIdentity id{"table-07", "/dev/ttyUSB0", "0.1.0"};
  EXPECT_EQ(status_topic::Document(health::StateName(h.nState), h, id, 1796750005000),
            "{\n\t\"box\" : \"table-07\",\n\t\"checkpoint\" : 5000,\n\t\"device\" : \"/dev/ttyUSB0\",\n"
            "\t\"dropped\" : 2,\n\t\"epoch\" : 7,\n\t\"journal given way\" : 5,\n"
            "\t\"last frame\" : \"2026-12-08T17:13:24Z\",\n\t\"malformed\" : 3,\n\t\"not held\" : 6,\n"
            "\t\"published\" : 1234,\n"
            "\t\"seconds behind\" : 4,\n\t\"seq\" : 18446744073709551615,\n\t\"signed\" : true,\n"
            "\t\"since\" : \"2026-12-08T17:13:20Z\",\n"
            "\t\"site record\" : \"the site's record of wheel 42 at seq 5000 differs from what this box sent\",\n"
            "\t\"state\" : \"behind the wheel\",\n\t\"time\" : \"2026-12-08T17:13:25Z\",\n"
            "\t\"unconfirmed\" : 1,\n\t\"version\" : \"0.1.0\"\n}\n");
  EXPECT_EQ(status_topic::Will(id), "{\n\t\"box\" : \"table-07\",\n\t\"device\" : \"/dev/ttyUSB0\",\n"
                                    "\t\"state\" : \"offline\",\n\t\"version\" : \"0.1.0\"\n}\n");
}

TEST(StatusTopic, SentAtOnceOnAChangeAtMostOnceASecondElseEveryMinute) {
  status_topic::TSchedule s;
  int nWait = 0;
  EXPECT_TRUE(status_topic::Due(s, health::kPublishing, 0, &nWait));  // the first one at once
  status_topic::Sent(s, health::kPublishing, 0, true);
  EXPECT_FALSE(status_topic::Due(s, health::kPublishing, 500, &nWait));
  EXPECT_EQ(nWait, 59500);
  EXPECT_FALSE(status_topic::Due(s, health::kSilent, 500, &nWait));  // a change, but too soon
  EXPECT_EQ(nWait, 500);
  EXPECT_TRUE(status_topic::Due(s, health::kSilent, 1000, &nWait));
  status_topic::Sent(s, health::kSilent, 1000, true);
  EXPECT_TRUE(status_topic::Due(s, health::kSilent, 61000, &nWait));  // a minute on
  // Away from the broker nothing is due; once back, the state is sent again though it is the same.
  EXPECT_FALSE(status_topic::Due(s, health::kBrokerAway, 2000, &nWait));
  EXPECT_EQ(nWait, -1);
  EXPECT_TRUE(status_topic::Due(s, health::kSilent, 2000, &nWait));
  status_topic::Sent(s, health::kSilent, 2000, false);  // failed: tried again after the gap
  EXPECT_FALSE(status_topic::Due(s, health::kSilent, 2500, &nWait));
  EXPECT_TRUE(status_topic::Due(s, health::kSilent, 3000, &nWait));
}

}  // namespace
