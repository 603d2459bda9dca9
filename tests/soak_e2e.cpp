// Soak: the bridge under the wheel simulator's frames while the broker restarts and the serial device
// goes away twice. Runs for KESTRIN_SOAK_SECONDS (default 30); a long run is e.g.
//   KESTRIN_SOAK_SECONDS=300 build-asan/tests/kestrin_e2e_tests --gtest_filter='Soak.*'
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "harness.h"
#include "kestrin_frame.h"

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KESTRIN_EMULATOR)
// The sanitizers' own bookkeeping grows the resident set, and so does the emulator's translation cache
// as code runs for the first time (the journal's replay, a reconnect's paths).
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string ExpectedDocumentHex(const std::string& frame) {
  frame::TStatus status;
  frame::Decode(reinterpret_cast<const unsigned char*>((frame + "\r\n").data()), &status);
  return Hex(frame::Document(status));
}

struct Sent {
  std::string frame;  // 40 bytes, without CR LF
  double at;          // seconds since the start
  bool delivered = false;
};

class Wheel {
 public:
  Wheel(const std::string& link, int seed)
      : process_(WheelSim({"--link", link, "--verbose", "--seed", std::to_string(seed), "--game",
                           std::to_string(seed * 1000)})) {}
  // Frames echoed since the last call.
  std::vector<std::string> NewFrames() {
    std::string out = process_.Out();
    std::vector<std::string> frames;
    std::size_t end;
    while ((end = out.find('\n', read_)) != std::string::npos) {
      std::string line = out.substr(read_, end - read_);
      read_ = end + 1;
      if (line.size() == 40 && line[0] == '*') frames.push_back(line);
    }
    return frames;
  }
  void Stop() {
    process_.Signal(SIGTERM);
    EXPECT_EQ(process_.WaitExit(5000ms), 0);
  }

 private:
  Process process_;
  std::size_t read_ = 0;
};

TEST(Soak, BrokerRestartsAndDeviceLossesLoseNothingWhileUp) {
  const char* env = std::getenv("KESTRIN_SOAK_SECONDS");
  const double duration = env ? std::atof(env) : 30.0;
  const double restart_every = std::min(60.0, duration / 3);
  const double warmup = std::min(60.0, duration / 3);
  const double broker_down = 2.0;
  const double losses[] = {duration * 0.3 + 1, duration * 0.7 + 1};

  char tmpl[] = "/tmp/kestrin-soak-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string link = dir + "/ttyWHEEL";

  Broker broker;
  ASSERT_TRUE(broker.Start());
  auto subscriber = std::make_unique<Subscriber>();
  ASSERT_TRUE(subscriber->Ready(5000ms));
  auto wheel = std::make_unique<Wheel>(link, 1);
  ASSERT_TRUE(WaitUntil([&] { return access(link.c_str(), F_OK) == 0; }, 5000ms));
  Process bridge(Bridge({link}));

  const auto start = Clock::now();
  auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  std::vector<Sent> sent;
  std::vector<std::pair<std::string, double>> delivered;  // payload hex, arrival
  std::size_t seen = 0;                                   // messages taken from the current subscriber
  std::vector<std::pair<double, double>> disturbances;    // when, how long the cause lasted
  double next_restart = restart_every, broker_back = -1;
  int next_loss = 0, seed = 1;
  long rss_after_warmup = -1;

  auto collect = [&](double t) {
    for (auto& f : wheel->NewFrames()) sent.push_back({f, t});
    auto messages = subscriber->WaitMessages(0, 0ms);
    for (; seen < messages.size(); ++seen) delivered.emplace_back(messages[seen].substr(messages[seen].rfind(' ') + 1), t);
  };
  while (now() < duration) {
    std::this_thread::sleep_for(100ms);
    const double t = now();
    collect(t);
    if (rss_after_warmup < 0 && t > warmup) rss_after_warmup = ResidentKiB(bridge.Pid());

    if (broker_back < 0 && t >= next_restart && t < duration - 3 * broker_down) {
      disturbances.emplace_back(t, broker_down);
      broker.Stop();
      broker_back = t + broker_down;
    } else if (broker_back >= 0 && t >= broker_back) {
      ASSERT_TRUE(broker.Start());
      subscriber = std::make_unique<Subscriber>();
      seen = 0;
      ASSERT_TRUE(subscriber->Ready(5000ms));
      broker_back = -1;
      next_restart += restart_every;
    }
    if (next_loss < 2 && t >= losses[next_loss] && broker_back < 0) {
      disturbances.emplace_back(t, 0.0);
      wheel->Stop();
      collect(t);
      wheel = std::make_unique<Wheel>(link, ++seed);
      ++next_loss;
    }
    ASSERT_TRUE(bridge.Running()) << bridge.Out().substr(bridge.Out().size() > 3000 ? bridge.Out().size() - 3000 : 0);
  }
  const long rss_end = ResidentKiB(bridge.Pid());
  const double end = now();
  wheel->Stop();
  collect(now());
  // The last frames may still be on their way (under an emulator, or beside other work): judge once
  // nothing has arrived for 2 s, not at a fixed moment.
  for (std::size_t count = delivered.size(), quiet = 0; quiet < 20 && now() < end + 60;) {
    std::this_thread::sleep_for(100ms);
    collect(now());
    quiet = delivered.size() == count ? quiet + 1 : 0;
    count = delivered.size();
  }
  bridge.WriteStdin("\n");
  EXPECT_EQ(bridge.WaitExit(15000ms), 0);
  std::system(("rm -rf " + dir).c_str());
  EXPECT_EQ(next_loss, 2);
  EXPECT_EQ(bridge.Err().find("Sanitizer"), std::string::npos) << bridge.Err();

  // Every delivered document is the document of a frame sent, in the order sent: nothing reordered,
  // duplicated or corrupted.
  std::size_t next = 0;
  for (const auto& [hex, at] : delivered) {
    while (next < sent.size() && ExpectedDocumentHex(sent[next].frame) != hex) ++next;
    ASSERT_LT(next, sent.size()) << "delivered out of order or not sent, arriving at " << at << " s";
    sent[next++].delivered = true;
  }
  // Every frame sent while all was up was delivered: from the first delivery after the bridge
  // recovered until shortly before the next disturbance.
  std::vector<std::pair<double, double>> up;
  double from = 0;
  disturbances.emplace_back(end, 0.0);
  for (const auto& [when, lasted] : disturbances) {
    double first = -1;
    for (const auto& [hex, at] : delivered)
      if (at > from) {
        first = at;
        break;
      }
    if (first >= 0 && first + 0.5 < when - 1.0) up.emplace_back(first + 0.5, when - 1.0);
    from = when + lasted + 0.5;
  }
  int required = 0, missing = 0;
  for (const auto& f : sent)
    for (const auto& [a, b] : up)
      if (f.at > a && f.at < b) {
        ++required;
        if (!f.delivered) {
          ++missing;
          ADD_FAILURE() << "frame sent at " << f.at << " s not delivered: " << f.frame;
        }
      }
  std::printf("soak: %.0f s, %zu frames sent, %zu delivered, %d required in %zu up windows, %d missing\n", end,
              sent.size(), delivered.size(), required, up.size(), missing);
  std::printf("soak: resident memory %ld KiB after %.0f s, %ld KiB at the end\n", rss_after_warmup, warmup,
              rss_end);
  EXPECT_GT(required, 0);
  if (!kSanitized) {
    EXPECT_LE(rss_end - rss_after_warmup, 1024);
  }
}

}  // namespace
