// The serial link against real pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "harness.h"
#include "kestrin_console.h"
#include "kestrin_transport.h"
#include "kestrin_transport_l.h"

namespace {

using namespace kt;

const std::string kFrameA = Frame(42, 2, "  ", 250, 1, 900, 0, 12, 123, 0);
const std::string kFrameB = Frame(42, 4, "17", 180, 1, 0, 0, 31, 124, 8);

struct Reception {
  int rc;
  unsigned short length;
  std::string bytes;
};

Reception Receive(ThKestrinTrans link, int timeout_ms = 5000, int wake_fd = -1) {
  unsigned char buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  unsigned short length = 999;
  int rc = transport::ReciveMsgWithin(link, buf, &length, timeout_ms, wake_fd);
  EXPECT_EQ(buf[42], 0xEE) << "wrote past the frame";
  return {rc, length, std::string(reinterpret_cast<char*>(buf), length)};
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link_ = transport::Init(const_cast<char*>(pty_.Path().c_str()), 0);
    ASSERT_NE(link_, nullptr);
  }
  void TearDown() override { transport::Destroy(link_); }
  Pty pty_;
  ThKestrinTrans link_ = nullptr;
};

TEST_F(LinkTest, CutsTheStreamIntoFrames) {
  // More than the link's work area in one write: every frame comes out, in order, and the link counts
  // what still waits.
  std::vector<std::string> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(i % 2 ? kFrameB : kFrameA);
  std::string stream = "abc";
  for (const std::string& frame : frames) stream += frame;
  pty_.Write(stream);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    Reception r = Receive(link_);
    EXPECT_EQ(r.rc, transport::kOk) << i;
    EXPECT_EQ(r.length, 42) << i;
    EXPECT_EQ(r.bytes, frames[i]) << i;
    EXPECT_EQ(transport::QueuedBytes(link_), static_cast<int>(42 * (frames.size() - 1 - i))) << i;
  }
  EXPECT_EQ(transport::QueuedBytes(nullptr), -1);
}

TEST_F(LinkTest, StarInsideAWellFormedFrameDoesNotRestartItButACutFrameGivesWayToTheNext) {
  std::string frame = kFrameA;
  frame[2] = '*';
  pty_.Write(frame + kFrameA.substr(0, 20) + kFrameB);
  EXPECT_EQ(Receive(link_).bytes, frame);
  EXPECT_EQ(Receive(link_).bytes, kFrameA.substr(0, 20) + kFrameB.substr(0, 22));  // reported as it came
  EXPECT_EQ(Receive(link_).bytes, kFrameB);
  // Cut two bytes short, so that the next frame's start byte stands where CR LF belongs.
  pty_.Write(kFrameA.substr(0, 40) + kFrameB);
  Reception cut = Receive(link_);
  EXPECT_FALSE(transport::WholeFrame(reinterpret_cast<const unsigned char*>(cut.bytes.data())));
  EXPECT_EQ(cut.bytes, kFrameA.substr(0, 40) + kFrameB.substr(0, 2));
  EXPECT_EQ(Receive(link_).bytes, kFrameB);
}

// Fills the link from the pty, as fast as the bytes come, until pred holds.
bool FillUntil(ThKestrinTrans link, const std::function<bool()>& pred) {
  const auto end = std::chrono::steady_clock::now() + Scaled(60s);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    pollfd fd = {transport::Descriptor(link), POLLIN, 0};
    if (poll(&fd, 1, 100) > 0 && transport::Fill(link) != transport::kOk) return false;
  }
  return true;
}

TEST_F(LinkTest, AFullQueueGivesWayWholeFramesOldestFirstAndCountsThem) {
  const int kFrames = transport::kQueueSize / 42 + 2000;
  std::string stream;
  for (int game = 0; game < kFrames; ++game) stream += Frame(42, 1, "  ", 1, 0, 1, 0, 1, game % 10000, 0);
  std::thread writer([&] { pty_.Write(stream); });
  long dropped = 0;
  auto all_there = [&] {  // counting the frames searches the queue: only once the bytes are there
    dropped += transport::TakeDroppedFrames(link_);
    return transport::QueuedBytes(link_) + 42 * dropped == static_cast<long>(stream.size()) &&
           transport::QueuedFrames(link_) + dropped == kFrames;
  };
  EXPECT_TRUE(FillUntil(link_, all_there));
  writer.join();
  EXPECT_GE(dropped, 2000);
  // The oldest gave way; the rest come whole, in order.
  for (long game = dropped; game < kFrames; ++game) ASSERT_EQ(Receive(link_, 0).bytes, stream.substr(42 * game, 42));
}

TEST_F(LinkTest, AReleasedLinkHandsOutWhatItHeldAndNoiseLeavesNoArrivalRecords) {
  for (int i = 0; i < 100; ++i) {  // a line with no start byte, in reads far apart
    pty_.Write(std::string(20, 'x'));
    std::this_thread::sleep_for(25ms);
    unsigned char frame[42];
    unsigned short length = 0;
    ASSERT_TRUE(FillUntil(link_, [&] {
      return transport::Take(link_, frame, &length) == transport::kNoFrame && transport::QueuedBytes(link_) == 0;
    }));
    EXPECT_LE(static_cast<transport::TMyData*>(link_)->arrivals.size(), 1u);
  }
  pty_.Write(kFrameA + kFrameB + kFrameA.substr(0, 30));
  // Filled into the link, not merely waiting in the device.
  ASSERT_TRUE(FillUntil(link_, [&] { return transport::QueuedFrames(link_) == 2 && transport::QueuedBytes(link_) == 114; }));
  transport::Release(link_);
  EXPECT_EQ(transport::Descriptor(link_), -1);
  // Sent before the device is open again, on a terminal that is raw already, as a re-created one is:
  // kept, not flushed; and the frame the failure cut short does not swallow it.
  termios raw = pty_.Settings();
  cfmakeraw(&raw);
  pty_.SetSettings(raw);
  pty_.Write(kFrameB);
  int error = 0;
  ASSERT_TRUE(transport::Reopen(link_, false, &error));
  ASSERT_TRUE(FillUntil(link_, [&] { return transport::QueuedBytes(link_) == 42 * 3 + 30; }));
  for (const std::string& frame : {kFrameA, kFrameB, kFrameB}) EXPECT_EQ(Receive(link_, 0).bytes, frame);
}

TEST_F(LinkTest, FillingKeepsFarMoreThanTheDeviceHoldsInOrder) {
  std::string stream;
  for (int game = 0; game < 2000; ++game) stream += Frame(42, 1, "  ", 1, 0, 1, 0, 1, game, 0);  // 84 KB
  std::thread writer([&] { pty_.Write(stream); });
  EXPECT_TRUE(WaitUntil([&] {
    pollfd fd = {transport::Descriptor(link_), POLLIN, 0};
    if (poll(&fd, 1, 100) > 0) {
      EXPECT_EQ(transport::Fill(link_), transport::kOk);
    }
    return transport::QueuedBytes(link_) == static_cast<int>(stream.size());
  }, 20000ms));
  writer.join();
  for (int game = 0; game < 2000; ++game) ASSERT_EQ(Receive(link_, 0).bytes, stream.substr(42 * game, 42));
  EXPECT_GE(transport::FrameAgeMs(link_), 0);
}

TEST_F(LinkTest, BytesAfterTheFrameStayQueued) {
  pty_.Write(kFrameA + "*LIV");
  EXPECT_EQ(Receive(link_).bytes, kFrameA);
  // The next frame's first bytes are kept: completing it yields the whole frame.
  pty_.Write(kFrameB.substr(4));
  EXPECT_EQ(Receive(link_).bytes, "*LIV" + kFrameB.substr(4));
}

TEST_F(LinkTest, FrameArrivingInPiecesIsAssembled) {
  std::thread writer([&] {
    for (std::size_t i = 0; i < kFrameA.size(); i += 5) {
      std::this_thread::sleep_for(10ms);
      pty_.Write(kFrameA.substr(i, 5));
    }
  });
  Reception r = Receive(link_);
  writer.join();
  EXPECT_EQ(r.rc, transport::kOk);
  EXPECT_EQ(r.bytes, kFrameA);
}

TEST_F(LinkTest, FrameCutShortByTheTimeLimitIsFinishedByTheNextCall) {
  Reception silent = Receive(link_, 100);
  EXPECT_EQ(silent.rc, transport::kTimedOut);
  EXPECT_EQ(silent.length, 0);
  EXPECT_FALSE(transport::FrameBegun(link_));
  pty_.Write("xy" + kFrameA.substr(0, 20));
  Reception partial = Receive(link_, 100);
  EXPECT_EQ(partial.rc, transport::kTimedOut);
  EXPECT_EQ(partial.length, 0);
  EXPECT_TRUE(transport::FrameBegun(link_));
  // A limit that has already run out still returns what is there.
  pty_.Write(kFrameA.substr(20) + kFrameB);
  EXPECT_EQ(Receive(link_, 0).bytes, kFrameA);
  EXPECT_EQ(Receive(link_, 0).bytes, kFrameB);
  EXPECT_FALSE(transport::FrameBegun(link_));
}

TEST_F(LinkTest, WakeDescriptorInterruptsAPendingReception) {
  int wake = eventfd(0, EFD_CLOEXEC);
  pty_.Write(kFrameA.substr(0, 30));
  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    uint64_t one = 1;
    EXPECT_EQ(write(wake, &one, sizeof one), 8);
  });
  Reception r = Receive(link_, 20000, wake);
  waker.join();
  close(wake);
  EXPECT_EQ(r.rc, transport::kInterrupted);
  EXPECT_EQ(r.length, 0);
  // The interrupted frame is not lost.
  pty_.Write(kFrameA.substr(30));
  EXPECT_EQ(Receive(link_).bytes, kFrameA);
}

TEST_F(LinkTest, HangUpFailsTheReceptionInsteadOfSpinning) {
  pty_.CloseMaster();
  Reception r = Receive(link_, 20000);
  EXPECT_EQ(r.rc, transport::kSearchFailed);
  EXPECT_EQ(r.length, 0);
}

TEST_F(LinkTest, HangUpInsideAFrameIsAFrameFailure) {
  pty_.Write(kFrameA.substr(0, 10));
  std::thread closer([&] {
    std::this_thread::sleep_for(100ms);
    pty_.CloseMaster();
  });
  Reception r = Receive(link_, 20000);
  closer.join();
  EXPECT_EQ(r.rc, transport::kFrameFailed);
  EXPECT_EQ(r.length, 0);
}

TEST_F(LinkTest, BlockingReceptionReturnsTheFrame) {
  pty_.Write(kFrameA);
  unsigned char buf[42];
  unsigned short length = 0;
  EXPECT_EQ(transport::ReciveMsg(link_, buf, &length), transport::kOk);
  EXPECT_EQ(length, 42);
}

TEST(LinkSettings, AppliesRaw19200With2StopBitsAndRestoresTheOldSettings) {
  Pty pty;
  termios before = pty.Settings();
  before.c_iflag = ICRNL | IXON;
  before.c_oflag = OPOST | ONLCR;
  before.c_lflag = ICANON | ECHO | ISIG;
  before.c_cc[VMIN] = 5;
  before.c_cc[VTIME] = 3;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  pty.SetSettings(before);
  before = pty.Settings();

  ThKestrinTrans link = transport::Init(const_cast<char*>(pty.Path().c_str()), 0);
  ASSERT_NE(link, nullptr);
  termios during = pty.Settings();
  EXPECT_EQ(during.c_cflag, 0x8FEu);
  EXPECT_EQ(during.c_iflag, 0u);
  EXPECT_EQ(during.c_oflag, 0u);
  EXPECT_EQ(during.c_lflag, 0u);
  EXPECT_EQ(during.c_cc[VMIN], 0);
  EXPECT_EQ(during.c_cc[VTIME], 0);
  EXPECT_EQ(fcntl(transport::Descriptor(link), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);  // no child inherits it
  transport::Destroy(link);

  termios after = pty.Settings();
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
  EXPECT_EQ(cfgetispeed(&after), B9600);
}

// A pty ignores the speed and forces some control bits, so check the settings built as data too.
TEST(LinkSettings, BuiltSettingsCarryOnlyTheLineFormat) {
  termios t = transport::LineSettings();
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(B19200 | CS8 | CSTOPB | CREAD | CLOCAL));
  EXPECT_EQ(t.c_cflag, 2302u);
  EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, 0u);
  for (cc_t c : t.c_cc) EXPECT_EQ(c, 0);
}

TEST(LinkArguments, RefusesBadArgumentsWithoutOpeningAnything) {
  Pty pty;
  char* path = const_cast<char*>(pty.Path().c_str());

  testing::internal::CaptureStdout();
  EXPECT_EQ(transport::Init(path, 126), nullptr);
  EXPECT_EQ(transport::Init(nullptr, 0), nullptr);
  EXPECT_EQ((console::Flush(5000), testing::internal::GetCapturedStdout()), "");

  testing::internal::CaptureStdout();
  ThKestrinTrans link = transport::Init(path, 125);
  EXPECT_EQ((console::Flush(5000), testing::internal::GetCapturedStdout()), "Port je odprt:" + pty.Path() + "\n");
  ASSERT_NE(link, nullptr);

  unsigned char buf[42];
  unsigned short length = 7;
  EXPECT_EQ(transport::ReciveMsg(link, nullptr, &length), transport::kBadArgument);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(transport::ReciveMsg(nullptr, buf, &length), transport::kBadArgument);
  EXPECT_EQ(transport::ReciveMsg(link, buf, nullptr), transport::kBadArgument);
  transport::Destroy(link);
  transport::Destroy(nullptr);
}

TEST(LinkArguments, MissingDeviceIsReportedThroughPerror) {
  char path[] = "/dev/kestrin-no-such-device";
  testing::internal::CaptureStderr();
  EXPECT_EQ(transport::Init(path, 0), nullptr);
  EXPECT_EQ((console::Flush(5000), testing::internal::GetCapturedStderr()), "/dev/kestrin-no-such-device: No such file or directory\n");
}

}  // namespace

namespace {

TEST(LinkArguments, ASecondLinkOnALockedDeviceIsRefused) {
  kt::Pty pty;
  char* path = const_cast<char*>(pty.Path().c_str());
  testing::internal::CaptureStdout();
  ThKestrinTrans first = transport::Init(path, 0);
  testing::internal::CaptureStderr();
  ThKestrinTrans second = transport::Init(path, 0);
  EXPECT_EQ((console::Flush(5000), testing::internal::GetCapturedStderr()), pty.Path() + ": already in use by another program\n");
  EXPECT_EQ((console::Flush(5000), testing::internal::GetCapturedStdout()), "Port je odprt:" + pty.Path() + "\n");
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  // The lock goes with the link.
  transport::Destroy(first);
  testing::internal::CaptureStdout();
  ThKestrinTrans again = transport::Init(path, 0);
  (console::Flush(5000), testing::internal::GetCapturedStdout());
  EXPECT_NE(again, nullptr);
  transport::Destroy(again);
}

}  // namespace
