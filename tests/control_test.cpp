// Port discovery against real pseudo-terminals.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "harness.h"
#include "kestrin_console.h"
#include "kestrin_control_l.h"

namespace {

using namespace kt;

const std::string kFrame = Frame(7, 1, "  ", 0, 1, 0, 0, 0, 5, 0);

// Writes a frame every 50 ms, as a wheel does, until destroyed.
class Wheel {
 public:
  explicit Wheel(const Pty& pty) : thread_([this, &pty] {
      while (!stop_) {
        pty.Write(kFrame);
        std::this_thread::sleep_for(50ms);
      }
    }) {}
  ~Wheel() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Discovery, CandidatesAreTheUsualSerialDevicesInOrder) {
  const char* expected[] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4",
                            "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3",   "/dev/ttyS4"};
  for (int i = 0; i < control::kPortsToTry; ++i) EXPECT_STREQ(control::ports_to_try[i], expected[i]);
}

TEST(Discovery, SkipsMissingAndSilentPortsAndTakesTheFirstThatDelivers) {
  Pty silent, wheel, other_wheel;
  termios before = silent.Settings();
  Wheel w1(wheel), w2(other_wheel);
  const char* ports[] = {"/dev/kestrin-missing", silent.Path().c_str(), wheel.Path().c_str(),
                         other_wheel.Path().c_str()};
  unsigned char recived[100] = {};
  unsigned short length = 0;
  char found[100] = {};

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ThKestrinTrans link = control::FindPort(ports, 4, 300, recived, &length, -1, found);
  std::string out = (console::Flush(5000), testing::internal::GetCapturedStdout());
  std::string err = (console::Flush(5000), testing::internal::GetCapturedStderr());

  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(found, wheel.Path().c_str());
  EXPECT_EQ(length, 42);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(recived), 42), kFrame);
  EXPECT_EQ(out, "Port je odprt:" + silent.Path() + "\nPort je odprt:" + wheel.Path() + "\n");
  EXPECT_EQ(err, "/dev/kestrin-missing: No such file or directory\n");
  // The silent port was closed again with its settings put back.
  termios after = silent.Settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  transport::Destroy(link);
}

TEST(Discovery, NoPortDeliversGivesNull) {
  Pty silent;
  const char* ports[] = {"/dev/kestrin-missing", silent.Path().c_str()};
  unsigned char recived[100];
  unsigned short length = 9;
  char found[100] = {};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(control::FindPort(ports, 2, 100, recived, &length, -1, found), nullptr);
  (console::Flush(5000), testing::internal::GetCapturedStdout());
  (console::Flush(5000), testing::internal::GetCapturedStderr());
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(found, "");
}

TEST(Discovery, ProbeOfAPortThatHangsUpClosesItAgain) {
  Pty pty;
  pty.CloseMaster();
  unsigned char recived[100];
  unsigned short length = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(control::ProbePort(pty.Path().c_str(), -1, recived, &length, -1), nullptr);
  (console::Flush(5000), testing::internal::GetCapturedStdout());
}

}  // namespace
