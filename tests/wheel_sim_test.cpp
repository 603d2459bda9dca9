// Runs the built wheel simulator on pseudo-terminals and checks the bytes it sends on the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

constexpr int kWaitMs = 10000;
constexpr std::size_t kLength = 42;
constexpr std::size_t kSeparators[] = {8, 10, 13, 18, 20, 25, 27, 32, 37};
struct TField {
  std::size_t offset, width;
};
// serial, phase, winning number, wheel speed, wheel direction, ball speed, ball direction, laps, game,
// error flag
constexpr TField kFields[] = {{4, 4},  {9, 1},  {11, 2}, {14, 4}, {19, 1},
                              {21, 4}, {26, 1}, {28, 4}, {33, 4}, {38, 2}};

using Clock = std::chrono::steady_clock;

// The simulator as a child process; killed if a test leaves it running.
class TSim {
 public:
  explicit TSim(std::vector<std::string> args) {
    args = kt::WheelSim(args);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    if ((pid_ = fork()) == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TSim() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    close(out_);
    close(err_);
  }
  int out() const { return out_; }
  int err() const { return err_; }
  void Signal(int sig) const { kill(pid_, sig); }

  // The exit status (128 + signal when killed) once the child has ended, waiting up to `ms`; else -1.
  int Wait(int ms = kWaitMs) {
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms);;) {
      int s = 0;
      if (pid_ > 0 && waitpid(pid_, &s, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
      }
      if (pid_ <= 0 || Clock::now() >= end) return status_;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  int status_ = -1;
};

// Reads until `n` bytes have come or `ms` have passed.
std::string ReadBytes(int fd, std::size_t n, int ms = kWaitMs) {
  std::string data;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (data.size() < n && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0 || !(p.revents & POLLIN)) break;
    char buffer[4096];
    const ssize_t got = read(fd, buffer, std::min(sizeof buffer, n - data.size()));
    if (got <= 0) break;
    data.append(buffer, static_cast<std::size_t>(got));
  }
  return data;
}

// Reads everything that comes until a pause of `idleMs`.
std::string ReadIdle(int fd, int idleMs = 300) {
  std::string data;
  for (std::string more; !(more = ReadBytes(fd, 65536, idleMs)).empty();) data += more;
  return data;
}

std::string ReadLine(int fd) {
  std::string line;
  for (std::string c; (c = ReadBytes(fd, 1)).size() == 1 && c != "\n";) line += c;
  return line;
}

// Whether `f` has the frame layout; the reason when it has not.
std::string LayoutError(const std::string& f) {
  if (f.size() != kLength) return "length " + std::to_string(f.size());
  if (f[0] != '*') return "no '*' at 0";
  if (f.compare(40, 2, "\r\n") != 0) return "no CR LF at 40";
  for (const std::size_t i : kSeparators)
    if (f[i] != ';') return "no ';' at " + std::to_string(i);
  for (const TField& field : kFields) {
    const std::string text = f.substr(field.offset, field.width);
    if (field.offset == 11 && text == "  ") continue;
    for (const char c : text)
      if (c < '0' || c > '9') return "field at " + std::to_string(field.offset) + " is '" + text + "'";
  }
  if (f.substr(11, 2) != "  " && std::stoi(f.substr(11, 2)) > 36) return "winning number " + f.substr(11, 2);
  return "";
}

struct TFrame {
  std::string serial;
  int phase, winning, wheelSpeed, wheelDirection, ballSpeed, ballDirection, laps, game, error;
};

TFrame Parse(const std::string& f) {
  const auto n = [&](std::size_t field) {
    return std::stoi(f.substr(kFields[field].offset, kFields[field].width));
  };
  return {f.substr(4, 4), n(1), f.substr(11, 2) == "  " ? -1 : n(2), n(3), n(4), n(5), n(6), n(7),
          n(8),           n(9)};
}

// Cuts `count` frames out of `stream` and checks the layout of each.
std::vector<TFrame> Frames(const std::string& stream, std::size_t count) {
  std::vector<TFrame> frames;
  EXPECT_EQ(stream.size(), count * kLength);
  for (std::size_t i = 0; i + kLength <= stream.size(); i += kLength) {
    const std::string f = stream.substr(i, kLength);
    const std::string error = LayoutError(f);
    EXPECT_EQ(error, "") << "frame " << i / kLength << ": " << f;
    if (error.empty()) frames.push_back(Parse(f));
  }
  return frames;
}

// A pseudo-terminal whose slave the simulator is given as --device; the test reads the master.
struct TPty {
  int master = -1, slave = -1;
  std::string path;
  TPty() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) path = ttyname(slave);
  }
  ~TPty() {
    close(master);
    close(slave);
  }
};

// Runs the simulator to its end on a pseudo-terminal and returns all it wrote; *pStatus is its status.
std::string RunOnPty(std::vector<std::string> args, int* pStatus) {
  TPty pty;
  args.insert(args.begin(), {"--device", pty.path});
  TSim sim(args);
  std::string data;
  const auto end = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (sim.Wait(0) < 0 && Clock::now() < end) data += ReadBytes(pty.master, 65536, 50);
  data += ReadIdle(pty.master);
  *pStatus = sim.Wait(0);
  return data;
}

std::string TempDir() {
  char dir[] = "/tmp/wheel_sim_test.XXXXXX";
  return mkdtemp(dir) ? dir : "";
}

// The rules of a game cycle, over consecutive frames from the start of a game.
void ExpectGameCycles(const std::vector<TFrame>& frames, const std::string& serial) {
  std::map<int, std::vector<TFrame>> games;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const TFrame& f = frames[i];
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(f.serial, serial);
    EXPECT_EQ(f.error, 0);
    EXPECT_GE(f.phase, 1);
    EXPECT_LE(f.phase, 4);
    EXPECT_EQ(f.winning == -1, f.phase != 4) << "winning number known only in phase 4";
    EXPECT_EQ(f.ballSpeed > 0, f.phase == 2 || f.phase == 3) << "ball moves only in phases 2 and 3";
    EXPECT_NE(f.ballDirection, f.wheelDirection);
    if (f.phase == 1) {
      EXPECT_EQ(f.laps, 0);
    }
    games[f.game].push_back(f);
    if (i == 0) continue;
    const TFrame& p = frames[i - 1];
    if (f.phase == 1 && p.phase == 4) {
      EXPECT_EQ(f.game, (p.game + 1) % 10000);
      EXPECT_NE(f.wheelDirection, p.wheelDirection);
    } else {
      EXPECT_TRUE(f.phase == p.phase || f.phase == p.phase + 1) << p.phase << " -> " << f.phase;
      EXPECT_EQ(f.game, p.game);
      EXPECT_GE(f.laps, p.laps);
      if (f.phase == 4 && p.phase == 4) {
        EXPECT_EQ(f.winning, p.winning);
      }
    }
  }
  EXPECT_GE(games.size(), 3u);
  // Each whole game: the wheel speeds up while bets are open and slows down after; the ball slows down.
  for (const auto& [id, g] : games) {
    if (g.front().phase != 1 || g.back().phase != 4) continue;  // cut off at either end
    const auto launch = std::find_if(g.begin(), g.end(), [](const TFrame& f) { return f.phase == 2; });
    const auto drop = std::find_if(g.begin(), g.end(), [](const TFrame& f) { return f.phase == 4; }) - 1;
    EXPECT_GT((launch - 1)->wheelSpeed, g.front().wheelSpeed) << "game " << id;
    EXPECT_LT(g.back().wheelSpeed, launch->wheelSpeed) << "game " << id;
    EXPECT_LT(drop->ballSpeed, launch->ballSpeed) << "game " << id;
    EXPECT_GT(g.back().laps, 0) << "game " << id;
  }
}

TEST(WheelSim, OwnPtyPlaysGameCyclesThroughItsLinkUntilSigterm) {
  const std::string dir = TempDir();
  const std::string link = dir + "/wheel";
  ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);  // a stale link to replace
  TSim sim({"--link", link, "--rate", "200", "--cycle", "8", "--serial", "0777", "--seed", "5"});

  const std::string first = ReadLine(sim.out());
  ASSERT_EQ(first.rfind("pty: /dev/pts/", 0), 0u) << first;
  const std::string slave = first.substr(5);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(slave, target);

  const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const std::vector<TFrame> frames = Frames(ReadBytes(fd, 40 * kLength), 40);
  close(fd);
  ASSERT_EQ(frames.size(), 40u);
  EXPECT_EQ(frames[0].game, 1);
  EXPECT_EQ(frames[0].phase, 1);
  ExpectGameCycles(frames, "0777");

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
  rmdir(dir.c_str());
}

TEST(WheelSim, DeviceIsSetRawThenRestoredAndVerboseEchoesFrames) {
  TPty pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  before.c_oflag |= OPOST | ONLCR;  // would turn each LF into CR LF if left on
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

  TSim sim({"--device", pty.path, "--rate", "100", "--cycle", "4", "--game", "9998", "--serial", "42",
            "--verbose"});
  const std::string stream = ReadBytes(pty.master, 12 * kLength);
  termios during{};
  ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
  std::vector<std::string> echoed;
  for (int i = 0; i < 12; ++i) echoed.push_back(ReadLine(sim.out()));
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);

  const std::vector<TFrame> frames = Frames(stream, 12);
  ASSERT_EQ(frames.size(), 12u);
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(frames[i].serial, "0042");
    EXPECT_EQ(frames[i].game, (9998 + static_cast<int>(i) / 4) % 10000) << "frame " << i;
    EXPECT_EQ(echoed[i] + "\r\n", stream.substr(i * kLength, kLength));
  }

  EXPECT_EQ(during.c_oflag & OPOST, 0u);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(during.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB));
  EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B19200));

  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(WheelSim, ReplaysFileLinesInOrderAndLoops) {
  const std::string a = "*LIV0042;1;  ;0250;1;0000;0;0000;0123;00";
  const std::string b = "*000ABCD;4;07;0200;0;0000;1;0020;0124;10";
  const std::string dir = TempDir();
  const std::string file = dir + "/frames.txt";
  std::ofstream(file, std::ios::binary) << a << "\n"
                                        << b << "\r\n"
                                        << "garbage\n\n";

  int status = -1;
  EXPECT_EQ(RunOnPty({"--replay", file, "--rate", "1000"}, &status), a + "\r\n" + b + "\r\ngarbage\r\n\r\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(RunOnPty({"--replay", file, "--loop", "--count", "6", "--rate", "1000"}, &status),
            a + "\r\n" + b + "\r\ngarbage\r\n\r\n" + a + "\r\n" + b + "\r\n");
  EXPECT_EQ(status, 0);
  unlink(file.c_str());
  rmdir(dir.c_str());
}

TEST(WheelSim, InjectsTheFaultsAskedFor) {
  const std::vector<std::string> common = {"--rate", "0", "--seed", "7", "--cycle", "5"};
  const auto run = [&](const std::string& option, const std::string& count = "10") {
    std::vector<std::string> args = common;
    args.insert(args.end(), {option, "1", "--count", count});
    int status = -1;
    const std::string stream = RunOnPty(args, &status);
    EXPECT_EQ(status, 0) << option;
    return stream;
  };

  // Every frame cut short: ten pieces, each starting with '*' and shorter than a frame.
  std::string stream = run("--truncate");
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t next = stream.find('*', at + 1);
    pieces.push_back(stream.substr(at, next - at));
    at = next == std::string::npos ? stream.size() : next;
  }
  ASSERT_EQ(pieces.size(), 10u) << stream;
  for (const std::string& piece : pieces) {
    EXPECT_EQ(piece[0], '*');
    EXPECT_LT(piece.size(), kLength);
    for (const std::size_t i : kSeparators) {
      if (i < piece.size()) {
        EXPECT_EQ(piece[i], ';') << piece;
      }
    }
  }

  // Junk before every frame, never a '*', and the frame after it whole; enough frames that a '*' among
  // random junk bytes would show.
  stream = run("--junk", "300");
  std::size_t frames = 0;
  for (std::size_t at = 0; at < stream.size(); ++frames) {
    const std::size_t star = stream.find('*', at);
    ASSERT_NE(star, std::string::npos);
    EXPECT_GE(star - at, 1u) << "no junk before frame " << frames;
    EXPECT_EQ(LayoutError(stream.substr(star, kLength)), "") << "frame " << frames;
    at = star + kLength;
  }
  EXPECT_EQ(frames, 300u);

  // One field of every frame replaced by non-digits; the rest of the frame intact.
  stream = run("--garble");
  ASSERT_EQ(stream.size(), 10 * kLength);
  for (std::size_t at = 0; at < stream.size(); at += kLength) {
    std::string f = stream.substr(at, kLength);
    int garbled = 0;
    for (const TField& field : kFields) {
      const std::string text = f.substr(field.offset, field.width);
      if (text.find_first_of("0123456789 ") != std::string::npos) continue;
      ++garbled;
      f.replace(field.offset, field.width, std::string(field.width, '0'));
    }
    EXPECT_EQ(garbled, 1) << stream.substr(at, kLength);
    EXPECT_EQ(LayoutError(f), "") << stream.substr(at, kLength);
  }

  // An error flag in every frame, one of the controller's codes.
  for (const TFrame& f : Frames(run("--errors"), 10))
    EXPECT_TRUE(std::set<int>({1, 2, 4, 8, 10, 20, 40}).count(f.error)) << f.error;
}

TEST(WheelSim, SameSeedGivesSameBytes) {
  const auto run = [](const std::string& seed) {
    int status = -1;
    const std::string stream =
        RunOnPty({"--seed", seed, "--count", "30", "--rate", "0", "--cycle", "6", "--errors", "0.3",
                  "--garble", "0.2", "--junk", "0.2", "--truncate", "0.2"},
                 &status);
    EXPECT_EQ(status, 0);
    return stream;
  };
  const std::string first = run("11");
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(run("11"), first);
  EXPECT_NE(run("12"), first);
}

TEST(WheelSim, BadUseGivesOneLineOnStderrAndStatus2) {
  const std::string dir = TempDir();
  const std::string file = dir + "/not-a-link";
  std::ofstream(file) << "keep me\n";
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--count"},
      {"--rate", "-1"},
      {"--rate", "fast"},
      {"--errors", "1.5"},
      {"--serial", "12345"},
      {"--cycle", "3"},
      {"--loop"},
      {"--device", "/nonexistent/ttyX"},
      {"--replay", "/nonexistent/frames.txt"},
      {"--device", "/dev/null", "--link", dir + "/wheel"},
      {"--link", file},
  };
  for (const auto& args : cases) {
    TSim sim(args);
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(sim.Wait(), 2);
    EXPECT_EQ(ReadIdle(sim.out(), 50), "");
    const std::string err = ReadIdle(sim.err(), 50);
    EXPECT_GT(err.size(), 1u);
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
  std::ifstream in(file);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "keep me");
  unlink(file.c_str());
  rmdir(dir.c_str());
}

}  // namespace
