// Port discovery against real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "harness.h"
#include "kestrin_cmdline.h"
#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_credentials.h"
#include "kestrin_outbox.h"
#include "kestrin_worker_l.h"

namespace {

using namespace kt;

const std::string kFrame = Frame(7, 1, "  ", 0, 1, 0, 0, 0, 5, 0);

// Writes a frame every 50 ms, as a wheel does, until destroyed; or other lines, as a GPS receiver does.
class Wheel {
 public:
  explicit Wheel(const Pty& pty, const std::string& text = kFrame)
      : thread_([this, &pty, text] {
          while (!stop_) {
            pty.Write(text);
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
  for (int i = 0; i < cmdline::kCandidates; ++i) EXPECT_STREQ(cmdline::kCandidatePorts[i], expected[i]);
  EXPECT_EQ(cmdline::CandidatesText(true), "/dev/ttyUSB0-4 and /dev/ttyS0-4");
}

TEST(Discovery, SkipsMissingSilentAndForeignPortsAndTakesTheFirstWheel) {
  Pty silent, gps, wheel, other_wheel;
  termios before = silent.Settings();
  // NMEA sentences carry a '*' before their checksum: each one starts something frame-like.
  Wheel w0(gps, "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
  Wheel w1(wheel), w2(other_wheel);
  const char* ports[] = {"/dev/kestrin-missing", silent.Path().c_str(), gps.Path().c_str(),
                         wheel.Path().c_str(), other_wheel.Path().c_str()};
  unsigned char recived[100] = {};
  unsigned short length = 0;
  char found[100] = {};

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ThKestrinTrans link = control::FindPort(ports, 5, 300, recived, &length, -1, found);
  std::string out = (console::Flush(5000), testing::internal::GetCapturedStdout());
  std::string err = (console::Flush(5000), testing::internal::GetCapturedStderr());

  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(found, wheel.Path().c_str());
  EXPECT_EQ(length, 42);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(recived), 42), kFrame);
  // The GPS port's frame-like pieces are reported and skipped, and the probe moves on.
  const std::string gps_open = "Port je odprt:" + gps.Path() + "\n";
  const std::string wheel_open = "Port je odprt:" + wheel.Path() + "\n";
  EXPECT_TRUE(out.starts_with("Port je odprt:" + silent.Path() + "\n" + gps_open)) << out;
  EXPECT_TRUE(out.ends_with("Malformed frame: not published\n" + wheel_open)) << out;
  EXPECT_NE(out.find("Raw data: *47\\x0d\\x0a$GPGGA,123519,"), std::string::npos) << out;
  EXPECT_EQ(err, "/dev/kestrin-missing: No such file or directory\n");
  // The silent port was closed again with its settings put back.
  termios after = silent.Settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  transport::Destroy(link);
}

TEST(Discovery, AFrameStillArrivingWhenTheProbeRunsOutIsWaitedFor) {
  Pty pty;
  std::thread wheel([&] {
    // The link flushes the line when it sets it up: write only after that.
    ASSERT_TRUE(WaitUntil([&] { return pty.Settings().c_lflag == 0; }, 5000ms));
    pty.Write(kFrame.substr(0, 20));
    std::this_thread::sleep_for(1500ms);  // the probe's 1000 ms run out in between
    pty.Write(kFrame.substr(20));
  });
  unsigned char recived[100] = {};
  unsigned short length = 0;
  testing::internal::CaptureStdout();
  ThKestrinTrans link = control::ProbePort(pty.Path().c_str(), 1000, recived, &length, -1);
  (console::Flush(5000), testing::internal::GetCapturedStdout());
  wheel.join();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(recived), length), kFrame);
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

// The worker's phases on a real link, beside a broker connection that never connected: it takes no
// frame before Publish(), then holds them all, and at the stop counts every one it read.
TEST(Worker, WaitsForStartUpThenHoldsWhileTheBrokerIsAwayAndCountsWhatItDidNotPublish) {
  Pty pty;
  ThKestrinTrans link = transport::Init(const_cast<char*>(pty.Path().c_str()), 0);
  ThKestrinBroker broker = broker::Init("0007", "", "");
  ASSERT_NE(link, nullptr);
  ASSERT_NE(broker, nullptr);
  worker::TStart start;
  start.hTrans = link;
  start.hBroker = broker;
  start.pPortName = pty.Path().c_str();
  start.pClientId = "0007";
  start.pFirstFrame = reinterpret_cast<const unsigned char*>(kFrame.data());
  testing::internal::CaptureStdout();
  ThKestrinWorker hWorker = worker::Init(start);
  ASSERT_NE(hWorker, nullptr);
  const auto& w = *static_cast<const worker::TWorker*>(hWorker);
  const auto phase_becomes = [&](worker::TPhase phase) {
    return WaitUntil([&] { return w.shownPhase.load() == phase; }, 5000ms);
  };
  pty.Write(kFrame + "*noise*" + kFrame);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(w.shownPhase.load(), worker::TPhase::kWaiting);
  worker::Publish(hWorker);
  EXPECT_TRUE(phase_becomes(worker::TPhase::kHolding));  // the library: not connected
  EXPECT_EQ(worker::StopPublishing(hWorker, 1000), 3);
  EXPECT_EQ(w.shownPhase.load(), worker::TPhase::kStopped);
  EXPECT_EQ(worker::StopPublishing(hWorker, 1000), 0);
  worker::Destroy(hWorker);
  broker::Destroy(broker);
  transport::Destroy(link);
  const std::string out = (console::Flush(5000), testing::internal::GetCapturedStdout());
  EXPECT_EQ(out.find("Waiting for publication"), std::string::npos) << out;
  EXPECT_NE(out.find("The broker is away; the frames from " + pty.Path() + " are held"), std::string::npos) << out;
}

// The outbox's states, step by step: a window of 2, 3 live documents queued at most, 1 overdue kept.
// Add: queue seq n. Start: the next document (n expected; 0: none) is publication `id`. Ok / Fail: its
// outcome (Ok: n is the seq the journal may hear of, 0: none). Due: the oldest in flight is given up
// on (n: the publication forgotten and queued again, 0: none).
TEST(Outbox, KeepsTheOrderTheWindowAndTheBoundsThroughEveryOutcome) {
  enum TOp { kAdd, kStart, kOk, kFail, kDue };
  struct TStep {
    TOp op;
    std::uint64_t nId, n;
    std::size_t nQueued, nInFlight, nOverdue;
  };
  const TStep steps[] = {
      {kAdd, 0, 1, 1, 0, 0},   {kAdd, 0, 2, 2, 0, 0},   {kAdd, 0, 3, 3, 0, 0},
      {kAdd, 0, 4, 3, 0, 0},   // 1 gives way
      {kStart, 10, 2, 2, 1, 0}, {kStart, 11, 3, 1, 2, 0}, {kStart, 0, 0, 1, 2, 0},  // the window is full
      {kFail, 10, 0, 2, 1, 0},  {kOk, 11, 0, 2, 0, 0},   // 2 queued again, first; 3 may not be heard of
      {kStart, 12, 2, 1, 1, 0}, {kDue, 12, 0, 1, 0, 1},  {kStart, 13, 4, 0, 1, 1},
      {kDue, 13, 12, 1, 0, 1},  // the oldest overdue goes back to the queue
      {kOk, 13, 0, 1, 0, 0},    {kOk, 12, 0, 1, 0, 0},   // forgotten: its outcome is nobody's
      {kStart, 14, 2, 0, 1, 0}, {kOk, 14, 4, 0, 0, 0},   // 2, 3 and 4 all confirmed
  };
  outbox::TOptions options;
  options.nWindow = 2;
  options.nMaxLive = 3;
  options.nMaxOverdue = 1;
  ThKestrinOutbox h = outbox::Init(options);
  ASSERT_NE(h, nullptr);
  long nGaveWay = 0;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const TStep& step = steps[i];
    const auto now = outbox::Clock::now();
    outbox::TSettled settled;
    if (step.op == kAdd) {
      outbox::TDocument d;
      d.nSeq = d.nOrder = step.n;
      EXPECT_EQ(outbox::AddLive(h, d, &nGaveWay), outbox::kOk);
    } else if (step.op == kStart) {
      const outbox::TDocument* p = outbox::Next(h, now);
      EXPECT_EQ(p == nullptr ? 0 : p->nSeq, step.n) << "step " << i;
      if (p != nullptr) outbox::Started(h, step.nId, now);
    } else if (step.op == kDue) {
      EXPECT_TRUE(outbox::GiveUpDue(h, now, false, &settled)) << "step " << i;
      EXPECT_EQ(settled.nId, step.nId);
      EXPECT_EQ(settled.nForgotten, step.n) << "step " << i;
    } else {
      EXPECT_EQ(outbox::Settle(h, step.nId, step.op == kOk, true, &settled),
                step.nId == 12 && step.op == kOk ? outbox::kUnknown : outbox::kOk) << "step " << i;
      if (step.op == kOk) {
        EXPECT_EQ(settled.nAcknowledge, step.n) << "step " << i;
      }
    }
    outbox::TCounts counts;
    outbox::GetCounts(h, &counts);
    EXPECT_EQ(counts.nQueuedLive, step.nQueued) << "step " << i;
    EXPECT_EQ(counts.nInFlight, step.nInFlight) << "step " << i;
    EXPECT_EQ(counts.nOverdue, step.nOverdue) << "step " << i;
  }
  EXPECT_EQ(nGaveWay, 1);
  EXPECT_EQ(outbox::Stop(h), 0);
  outbox::Destroy(h);
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

namespace {

TEST(BrokerAccount, ReadsUserAndPasswordFromTheFirstLineOnly) {
  const std::string path = ::testing::TempDir() + "kestrin-account";
  const struct {
    const char* pText;
    int nResult;
    const char* pUser;
    const char* pPassword;
  } cases[] = {{"kestrin-bridge:s3cret\n", 0, "kestrin-bridge", "s3cret"},
               {"u:pa:ss\r\nsecond:line\n", 0, "u", "pa:ss"},  // the password may hold ':'
               {"no-colon\n", -2, "", ""}, {":password\n", -2, "", ""}, {"user:\n", -2, "", ""},
               {"", -2, "", ""}, {"\xEF\xBB\xBFu:p\r\n", 0, "u", "p"}};  // an editor's byte-order mark
  for (const auto& c : cases) {
    credentials::SetCredentials(nullptr, nullptr);
    std::ofstream(path) << c.pText;
    EXPECT_EQ(credentials::ReadCredentials(path.c_str()), c.nResult) << c.pText;
    EXPECT_STREQ(credentials::CredentialUser(), c.pUser) << c.pText;
    EXPECT_STREQ(credentials::CredentialPassword(), c.pPassword) << c.pText;
  }
  // A password MQTT cannot carry whole is refused, not cut.
  std::ofstream(path) << "u:" << std::string(65536, 'p') << "\n";
  EXPECT_EQ(credentials::ReadCredentials(path.c_str()), -2);
  EXPECT_STREQ(credentials::CredentialsFailure(), "the password is longer than 65535 bytes");
  std::remove(path.c_str());
  EXPECT_EQ(credentials::ReadCredentials(path.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  // Only a regular file: a FIFO nobody writes is refused at once instead of blocking start-up.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  for (const char* pOther : {path.c_str(), "/dev/null", "/"}) {
    EXPECT_EQ(credentials::ReadCredentials(pOther), -2) << pOther;
    EXPECT_NE(std::string(credentials::CredentialsFailure()).find(", not a"), std::string::npos) << pOther;
  }
  std::remove(path.c_str());
}

}  // namespace

namespace {

// Runs in a process of its own (a death test), where nothing was queued before: queues the lines with
// standard output and error on one pipe, as on a terminal or the journal's stream, and exits with 0
// when exactly the expected text came out.
[[noreturn]] void ExitWhetherConsoleWrites(bool bPrefix, void (*pLines)(), const std::string& expected) {
  int fds[2];
  const int err = dup(STDERR_FILENO);
  if (pipe(fds) != 0 || dup2(fds[1], STDOUT_FILENO) < 0 || dup2(fds[1], STDERR_FILENO) < 0) _exit(2);
  if (bPrefix) console::PrefixPriorities();
  pLines();
  console::Flush(10000);
  std::string out(65536, '\0');
  out.resize(static_cast<std::size_t>(std::max<ssize_t>(read(fds[0], out.data(), out.size()), 0)));
  if (out == expected) _exit(0);
  dprintf(err, "got:\n%s", out.c_str());
  _exit(1);
}

TEST(ConsoleLines, NothingIsGluedToThePromptAndInTheJournalNothingToALineOfAnotherPriority) {
#ifdef KESTRIN_EMULATOR
  // The emulator cannot execute the test binary again (no binfmt handler is registered); ctest runs this
  // test in a process of its own, so a plain fork is just as fresh.
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  EXPECT_EXIT(ExitWhetherConsoleWrites(false, [] {
    console::Print("Port je odprt:/dev/x\n");
    console::Prompt("Press ENTER to exit...");
    console::Error("/dev/x: No such file or directory\n");
    console::Notice("Serial device /dev/x lost; reopening it\n");
    console::Print("\n");
    console::Print("Destroying control layer class instance... ");
    console::Debug("Message with token value 7 delivery confirmed\n");
    console::Print("done\n");
  }, "Port je odprt:/dev/x\nPress ENTER to exit...\n/dev/x: No such file or directory\n"
     "Serial device /dev/x lost; reopening it\n\nDestroying control layer class instance... "
     "Message with token value 7 delivery confirmed\ndone\n"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ExitWhetherConsoleWrites(true, [] {
    console::Print("Destroying control layer class instance... ");
    console::Print("Successful disconnection\n");
    console::Print("Destroying control layer class instance... ");
    console::Warning("Disconnect failed\n");
    console::Notice("\nConnection lost, cause: x; reconnecting...\n");
  }, "<6>Destroying control layer class instance... Successful disconnection\n"
     "<6>Destroying control layer class instance... \n<4>Disconnect failed\n"
     "<5>\n<5>Connection lost, cause: x; reconnecting...\n"), testing::ExitedWithCode(0), "");
}

}  // namespace
