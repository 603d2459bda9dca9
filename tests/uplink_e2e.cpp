// The uplink example end to end: the box's mosquitto, locked as the package locks it and configured
// with examples/kestrin-uplink.conf as an integrator fills it in, forwards the bridge's documents to a site broker that wants TLS and a
// password; the site broker goes away for a while in mid-stream and nothing the bridge saw confirmed
// may be lost, reordered or doubled at a subscriber on the site broker. The outage lasts
// KESTRIN_UPLINK_OUTAGE_SECONDS (default 20); a long one is e.g.
//   KESTRIN_UPLINK_OUTAGE_SECONDS=300 build/tests/kestrin_e2e_tests --gtest_filter='Uplink.*'
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "harness.h"
#include "kestrin_frame.h"

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kSitePort = 8883;
constexpr const char* kBoxName = "kestrin-box-test";
constexpr const char* kUser = "box-test";
constexpr const char* kPassword = "not-a-secret";

bool Shell(const std::string& script) { return std::system(("set -e; " + script).c_str()) == 0; }

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The example with every @NAME@ value replaced; fails the test when one is left.
std::string FilledExample(const std::map<std::string, std::string>& values) {
  std::string text = ReadFile(KESTRIN_UPLINK_EXAMPLE);
  EXPECT_FALSE(text.empty());
  for (const auto& [name, value] : values) {
    const std::string marker = "@" + name + "@";
    EXPECT_NE(text.find(marker), std::string::npos) << marker << " is not in the example";
    for (std::size_t at; (at = text.find(marker)) != std::string::npos;)
      text.replace(at, marker.size(), value);
  }
  std::istringstream lines(text);
  const std::regex unfilled("@[A-Z_]+@");
  for (std::string line; std::getline(lines, line);) {
    const bool comment = line.empty() || line[0] == '#';
    EXPECT_TRUE(comment || !std::regex_search(line, unfilled)) << "not filled in: " << line;
  }
  return text;
}

// The uplink's state as the box's broker announces it: "1" connected, "0" not, "" not yet known.
std::string UplinkState() {
  Process sub({"mosquitto_sub", "-h", "127.0.0.1", "-p", "1882", "-u", "kestrin-reader", "-P",
               "reader-secret", "-t", "$SYS/broker/connection/+/state", "-C", "1", "-W", "1"});
  sub.WaitExit(5000ms);
  std::string out = sub.Out();
  return out.empty() ? out : out.substr(0, 1);
}

struct TSeen {
  int game;
  double at;            // seconds since the stream started
  bool resent = false;  // by the site broker to the checker, after a restart cut its acknowledgement
};

TEST(Uplink, SiteBrokerAwayLosesNoConfirmedFrame) {
  if (kSanitized) GTEST_SKIP() << "a minute of wall time; the plain build runs it";
  const char* env = std::getenv("KESTRIN_UPLINK_OUTAGE_SECONDS");
  const double outage = env ? std::atof(env) : 20.0;

  // The site's broker: TLS with a certificate from a throwaway CA, a password file, persistence, and
  // room for the whole backlog when it arrives before the checker is back (its default keeps 1000).
  Broker site;
  const std::string ca = site.Dir() + "/ca.crt";
  const std::string& d = site.Dir();
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  ASSERT_TRUE(Shell(Lines({
      "cd " + d + " && exec >openssl.log 2>&1",
      "openssl req -x509" + ec + " -days 1 -subj '/CN=kestrin test CA' -keyout ca.key -out ca.crt",
      "openssl req" + ec + " -subj /CN=localhost -keyout site.key -out site.csr",
      "echo subjectAltName=DNS:localhost,IP:127.0.0.1 >site.ext",
      "openssl x509 -req -in site.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile site.ext "
      "-out site.crt",
      "mosquitto_passwd -c -b passwd " + std::string(kUser) + " " + kPassword,
      "chmod 644 site.key passwd",  // mosquitto reads them after dropping to its own user
  }))) << ReadFile(d + "/openssl.log");
  site.Configure(Lines({"listener " + std::to_string(kSitePort) + " 127.0.0.1", "cafile " + ca,
                        "certfile " + d + "/site.crt", "keyfile " + d + "/site.key", "allow_anonymous false",
                        "password_file " + d + "/passwd", "max_queued_messages 0", "persistence true",
                        "persistence_location " + d + "/"}),
                 kSitePort);
  ASSERT_TRUE(site.Start()) << site.Log();

  // The box's broker: laid out as Debian's mosquitto package lays it out, with the example in conf.d
  // beside the package's lock, its access list and a password file of the two accounts.
  Broker box;
  const std::string& b = box.Dir();
  ASSERT_TRUE(Shell(Lines({
      "mkdir -m 755 " + b + "/conf.d",
      "sed 's|/etc/mosquitto/|" + b + "/|; s|/usr/share/kestrin-bridge/|" + b + "/|' " KESTRIN_SOURCE_DIR
      "/debian/mosquitto/kestrin-bridge.conf >" + b + "/conf.d/kestrin-bridge.conf",
      "cp " KESTRIN_SOURCE_DIR "/debian/mosquitto/kestrin-bridge.acl " + b + "/kestrin-bridge-access.acl",
      "mosquitto_passwd -c -b " + b + "/kestrin-bridge.passwd kestrin-bridge bridge-secret",
      "mosquitto_passwd -c -b " + b + "/kestrin-reader.passwd kestrin-reader reader-secret",
      "chmod 644 " + b + "/kestrin-*.passwd && echo kestrin-bridge:bridge-secret >" + b + "/account",
  })));
  std::ofstream(box.Dir() + "/conf.d/kestrin-uplink.conf")
      << FilledExample({{"SITE_BROKER_HOST", "localhost"},
                        {"SITE_BROKER_PORT", std::to_string(kSitePort)},
                        {"SITE_CA_FILE", ca},
                        {"SITE_USER", kUser},
                        {"SITE_PASSWORD", kPassword},
                        {"BOX_NAME", kBoxName}});
  box.Configure(Lines({"persistence true", "persistence_location " + box.Dir() + "/",
                       "include_dir " + box.Dir() + "/conf.d"}),
                1883);
  ASSERT_TRUE(box.Start()) << box.Log();
  ASSERT_TRUE(WaitUntil([] { return UplinkState() == "1"; }, 20000ms)) << box.Log();

  // A subscriber at the site with a session of its own, so that it gets what arrives while it reconnects.
  Subscriber checker({"-h", "localhost", "-p", std::to_string(kSitePort), "--cafile", ca, "-u", kUser, "-P",
                      kPassword, "-c", "-i", "site-checker"});
  ASSERT_TRUE(checker.Ready(5000ms));

  // The wheel replays frames with distinct game ids; the bridge reads them.
  const std::string frames = box.Dir() + "/frames.txt";
  std::map<std::string, int> gameOfDocument;  // payload in hex -> game id
  {
    std::ofstream out(frames);
    const int count = static_cast<int>(5 * (outage + 60));  // more than the run takes at 5 frames/s
    for (int game = 1; game <= count; ++game) {
      const std::string frame =
          Frame(42, 1 + game % 4, game % 4 == 0 ? "17" : "  ", 250, 1, 900, 0, 12, game, 0);
      out << frame.substr(0, 40) << "\n";
      frame::TStatus status;
      frame::Decode(reinterpret_cast<const unsigned char*>(frame.data()), &status);
      gameOfDocument[Hex(frame::Document(status))] = game;
    }
  }
  const std::string link = box.Dir() + "/ttyWHEEL";
  Process wheel(WheelSim({"--replay", frames, "--rate", "5", "--link", link, "--verbose"}));
  ASSERT_TRUE(WaitUntil([&] { return access(link.c_str(), F_OK) == 0; }, 5000ms));
  setenv("KESTRIN_BROKER_ACCOUNT", (b + "/account").c_str(), 1);
  Process bridge(Bridge({link}));
  unsetenv("KESTRIN_BROKER_ACCOUNT");
  ASSERT_TRUE(bridge.WaitForOutput("Press ENTER to exit...", 10000ms)) << bridge.Out();

  const auto start = Clock::now();
  auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  std::vector<TSeen> confirmed, arrived;
  std::size_t bridgeRead = 0, checkerRead = 0;
  int current = -1;  // the frame the bridge is on
  auto observe = [&] {
    const double t = now();
    const std::string out = bridge.Out();
    for (std::size_t end; (end = out.find('\n', bridgeRead)) != std::string::npos; bridgeRead = end + 1) {
      const std::string line = out.substr(bridgeRead, end - bridgeRead);
      if (const auto raw = line.find("Raw data: *"); raw != std::string::npos && line.size() >= raw + 10 + 37)
        current = std::atoi(line.substr(raw + 10 + 33, 4).c_str());
      else if (line.find("delivery confirmed") != std::string::npos)
        confirmed.push_back({current, t});
    }
    const auto messages = checker.WaitMessages(0, 0ms);
    const auto resent = checker.Resent();
    for (; checkerRead < messages.size() && checkerRead < resent.size(); ++checkerRead) {
      const auto found =
          gameOfDocument.find(messages[checkerRead].substr(messages[checkerRead].rfind(' ') + 1));
      arrived.push_back({found == gameOfDocument.end() ? -1 : found->second, t, resent[checkerRead]});
    }
  };
  auto runFor = [&](double seconds) {
    for (const double end = now() + seconds; now() < end;) {
      observe();
      std::this_thread::sleep_for(20ms);
    }
  };

  runFor(8);
  site.Stop();
  const double down = now();
  EXPECT_TRUE(WaitUntil([] { return UplinkState() == "0"; }, 5000ms));
  runFor(outage - (now() - down));
  ASSERT_TRUE(site.Start()) << site.Log();
  const double back = now();
  runFor(10);

  wheel.Signal(SIGTERM);
  EXPECT_EQ(wheel.WaitExit(5000ms), 0);
  std::size_t sent = 0;
  std::istringstream echoed(wheel.Out());
  for (std::string line; std::getline(echoed, line);) sent += line.size() == 40;
  auto allArrived = [&] {
    observe();
    for (const auto& c : confirmed)
      if (std::none_of(arrived.begin(), arrived.end(), [&](const TSeen& a) { return a.game == c.game; }))
        return false;
    return true;
  };
  std::this_thread::sleep_for(500ms);  // the last frame's confirmation
  WaitUntil(allArrived, 15000ms);
  bridge.WriteStdin("\n");
  EXPECT_EQ(bridge.WaitExit(10000ms), 0);

  // In order and none twice: the game ids only go up, nothing unknown arrives. The uplink's duplicates
  // would come as new messages; a message the site broker sends the checker again (its own QoS 1 leg,
  // when the stop came between a delivery and its acknowledgement) is flagged and must be one it had.
  int lastGame = 0;
  std::size_t resent = 0;
  for (const auto& a : arrived) {
    ASSERT_NE(a.game, -1) << "a document that the wheel never sent arrived";
    if (a.resent) {
      ++resent;
      EXPECT_LE(a.game, lastGame) << "game " << a.game << " flagged as sent again before it came once";
      continue;
    }
    ASSERT_GT(a.game, lastGame) << "game " << a.game << " after game " << lastGame
                                << ": out of order or twice";
    lastGame = a.game;
  }
  for (const auto& c : confirmed) {
    EXPECT_TRUE(std::any_of(arrived.begin(), arrived.end(), [&](const TSeen& a) { return a.game == c.game; }))
        << "game " << c.game << ", confirmed at " << c.at << " s, never arrived at the site";
  }

  if (HasFailure()) {
    for (Broker* broker : {&box, &site}) {
      std::istringstream log(broker->Log());
      for (std::string line; std::getline(log, line);)
        if (line.find("dropped") != std::string::npos || line.find("rror") != std::string::npos)
          std::printf("%s: %s\n", broker == &box ? "box" : "site", line.c_str());
    }
  }

  // The outage must have mattered: frames confirmed before the site broker was back that had not
  // reached it yet, delivered afterwards.
  std::map<int, double> arrivedAt;
  for (const auto& a : arrived)
    if (!a.resent) arrivedAt[a.game] = a.at;
  std::size_t backlog = 0;
  double first = 1e9, last = 0;
  for (const auto& c : confirmed)
    if (c.at < back && arrivedAt.count(c.game) && arrivedAt[c.game] >= back) {
      ++backlog;
      first = std::min(first, arrivedAt[c.game]);
      last = std::max(last, arrivedAt[c.game]);
    }
  ASSERT_GE(backlog, 50u);

  // A confirmation of the site's ledger, retained there, comes in to the box (the uplink subscribed
  // again after the site broker's return), where the bridges' account reads it.
  const std::string confirmation = R"({"seq":7,"epoch":1,"time":"2026-12-09T01:00:00.000Z"})";
  Process ledger({"mosquitto_pub", "-h", "localhost", "-p", std::to_string(kSitePort), "--cafile", ca,
                  "-u", kUser, "-P", kPassword, "-V", "5", "-q", "1", "-r", "-t",
                  "/rng/roulette/kestrin_live/42/ledger", "-m", confirmation});
  EXPECT_EQ(ledger.WaitExit(10000ms), 0) << ledger.Err();
  Process boxSide({"mosquitto_sub", "-h", "127.0.0.1", "-u", "kestrin-bridge", "-P", "bridge-secret", "-V",
                   "5", "-t", "/rng/roulette/kestrin_live/+/ledger", "-C", "1", "-W", "10", "-v"});
  EXPECT_EQ(boxSide.WaitExit(15000ms), 0) << boxSide.Err() << box.Log();
  EXPECT_EQ(boxSide.Out(), "/rng/roulette/kestrin_live/42/ledger " + confirmation + "\n");
  std::printf(
      "uplink: site broker away %.1f s; %zu frames sent, %zu confirmed by the box's broker, %zu arrived at "
      "the site, in order, none twice (%zu sent again to the checker, flagged)\n",
      back - down, sent, confirmed.size(), arrived.size() - resent, resent);
  std::printf(
      "uplink: backlog of %zu frames: first at the site %.2f s after its broker was back, all %.2f s later\n",
      backlog, first - back, last - first);
}

}  // namespace
