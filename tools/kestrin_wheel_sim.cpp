// kestrin_wheel_sim: plays a roulette wheel controller on a serial line, so the bridge can run without
// a wheel. It writes 42-byte status frames to a device it is given, or to a pseudo-terminal of its own.
//
// How it works:
// - Own pseudo-terminal (the default): openpty() gives a master and a slave. The simulator writes on the
//   master and keeps the slave open as well, so the line stays up while a reader opens and closes the
//   slave, the settings a reader applies last as long as the simulator runs, and frames written before
//   anyone reads are queued in the slave's input buffer instead of being lost. The slave starts raw, so
//   CR and LF reach the reader untranslated.
// - As a UART (--uart): the simulator closes its slave, so the line is held open only by the processes
//   that open it, and leaves it at the kernel's default settings. Before each frame it looks at the
//   line as a UART's receiver would: when no process holds the slave open (the master polls POLLHUP, a
//   write fails with EIO) or the slave is not set to raw 19200 baud 8N2 (tcgetattr on the master gives
//   the slave's settings on Linux), the frame is dropped and counted, as a real UART loses or garbles
//   what arrives while it is closed or set otherwise. What arrives while some process holds it set
//   right (a service manager keeping the descriptor across a restart) waits in the kernel's buffer.
// - Given device (--device): when it is a terminal, its settings are saved, it is set raw 19200 baud,
//   8 data bits, no parity, 2 stop bits (output post-processing off, so LF never becomes CR LF), and the
//   saved settings are put back at exit.
// - Pacing: frame k is due at start + k / rate on CLOCK_MONOTONIC and the simulator sleeps until that
//   absolute deadline, so the rate does not drift with the time spent writing. Sleeps are cut into slices
//   of at most kSliceNs so that a stop signal arriving just before a sleep starts is still seen soon.
// - Writing: the descriptor is non-blocking; each chunk (junk, then the frame) goes out in one write()
//   call, looping on short writes, and when the buffer is full (nobody reads) the simulator waits in
//   poll() for POLLOUT rather than spinning.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kFrameLength = 42;
constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kSliceNs = 200000000;
constexpr std::int64_t kResyncNs = 100000000;
constexpr double kMaxRate = 100000.0;
constexpr int kExitError = 2;

// Game phases the simulator plays, in this order.
constexpr int kPhaseBets = 1;      // bets open, wheel being spun up, ball at rest
constexpr int kPhaseLaunched = 2;  // no more bets, ball launched
constexpr int kPhaseSlowing = 3;   // ball slowing down, about to drop
constexpr int kPhaseResult = 4;    // ball in a pocket, winning number known

constexpr const char* kHelp =
    "Usage: kestrin_wheel_sim [OPTION]...\n"
    "Plays a roulette wheel controller: writes 42-byte status frames on a serial line.\n"
    "\n"
    "Line:\n"
    "  --device PATH     write to PATH (set raw 19200 baud 8N2 when it is a terminal, settings\n"
    "                    restored at exit); without it the simulator creates a pseudo-terminal and\n"
    "                    prints \"pty: SLAVE-PATH\" as its first line on standard output\n"
    "  --link PATH       with the own pseudo-terminal: make PATH a symbolic link to its slave (an\n"
    "                    existing symbolic link is replaced); removed at exit\n"
    "  --uart            with the own pseudo-terminal: behave as a UART; a frame is dropped when no\n"
    "                    process holds the slave side open or when the slave is not set to raw\n"
    "                    19200 baud 8N2 (the simulator neither keeps the slave open nor sets it: it\n"
    "                    starts at the kernel's defaults, 38400 baud, canonical mode); dropped\n"
    "                    frames are counted, shown with --verbose as \"dropped (closed): FRAME\" or\n"
    "                    \"dropped (settings): FRAME\", and the counts printed at exit as\n"
    "                    \"uart: N frames sent, M dropped (C while closed, S while set otherwise)\"\n"
    "\n"
    "Timing:\n"
    "  --rate HZ         frames per second, fractional allowed (default 5, at most 100000);\n"
    "                    0 sends frames back to back as fast as the line takes them\n"
    "  --count N         stop after N frames\n"
    "  --duration SECS   stop after SECS seconds (fractional allowed)\n"
    "\n"
    "Game (ignored with --replay):\n"
    "  --serial NNNN     wheel serial number, 1 to 4 digits, sent zero-padded (default 0042)\n"
    "  --game N          game id of the first game, 0 to 9999 (default 1); counts up by one per game\n"
    "                    and wraps from 9999 to 0000\n"
    "  --cycle N         frames per game, at least 4 (default 150, 30 s at 5 Hz)\n"
    "  --tag XYZ         the 3 characters at offsets 1 to 3, which the bridge ignores (default LIV)\n"
    "  --errors RATE     probability per frame of an error flag, one of 01 02 04 08 10 20 40\n"
    "  --seed N          seed of the random choices; the same seed and options give the same bytes\n"
    "\n"
    "Replay:\n"
    "  --replay FILE     send the lines of FILE instead of playing games, one per frame slot: the\n"
    "                    line terminator (LF or CR LF) is removed and CR LF is sent after the line,\n"
    "                    so a 40-byte line is a whole frame; lines of any other length are sent the\n"
    "                    same way (garbage on purpose). Stops after the last line unless --loop.\n"
    "  --loop            start the file again after its last line\n"
    "\n"
    "Faults (each a probability per frame, 0 to 1, drawn in this order):\n"
    "  --garble RATE     replace one field of the frame by non-digits such as \"x?\"\n"
    "  --truncate RATE   send only the first 1 to 41 bytes of the frame\n"
    "  --junk RATE       send 1 to 8 junk bytes (never '*') before the frame, in the same write\n"
    "\n"
    "Other:\n"
    "  --verbose         echo every chunk written on standard output, without its final CR LF,\n"
    "                    bytes other than printable ASCII (and \\) shown as \\xHH\n"
    "  --help            show this text\n"
    "\n"
    "Frame (offsets): 0 '*', 1-3 tag, 4-7 serial, 9 phase, 11-12 winning number (00-36, two spaces\n"
    "while unknown), 14-17 wheel speed, 19 wheel direction, 21-24 ball speed, 26 ball direction,\n"
    "28-31 ball laps, 33-36 game id, 38-39 error flag, 40-41 CR LF; ';' at 8 10 13 18 20 25 27 32 37.\n"
    "A game: phase 1 place bets (wheel speeds up, ball at rest, laps 0), 2 no more bets (ball\n"
    "launched, laps counting), 3 ball slowing, 4 winning number shown (ball at rest). Speeds are in\n"
    "tenths of a revolution per minute; the wheel turns direction 0 and 1 in alternate games, the ball\n"
    "the other way.\n"
    "\n"
    "Stops on SIGINT, SIGTERM or SIGHUP, or after --count / --duration / the replay file: exit status\n"
    "0. A bad option or a device that cannot be opened or written: one line on standard error, exit\n"
    "status 2.\n";

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

struct TOptions {
  std::string device;
  std::string link;
  double rate = 5.0;
  std::uint64_t count = 0;  // 0: no limit
  double duration = 0.0;    // 0: no limit
  std::string serial = "0042";
  int firstGame = 1;
  int cycle = 150;
  std::string tag = "LIV";
  double errors = 0.0;
  std::optional<std::uint64_t> seed;
  std::string replay;
  bool loop = false;
  double garble = 0.0;
  double truncate = 0.0;
  double junk = 0.0;
  bool verbose = false;
  bool uart = false;
  bool help = false;
};

// Random choices independent of the standard library's distributions, so a seed gives the same bytes
// everywhere.
class TRandom {
 public:
  explicit TRandom(std::uint64_t seed) : engine_(seed) {}
  int Between(int lo, int hi) {  // inclusive
    return lo + static_cast<int>(engine_() % static_cast<std::uint64_t>(hi - lo + 1));
  }
  bool Chance(double p) {
    if (p <= 0.0) return false;
    return static_cast<double>(engine_() >> 11) * 0x1.0p-53 < p;
  }

 private:
  std::mt19937_64 engine_;
};

// ---------------------------------------------------------------------------------------------------
// Command line

bool ParseDouble(const std::string& text, double lo, double hi, double* pOut) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < lo || value > hi) return false;
  *pOut = value;
  return true;
}

bool ParseUnsigned(const std::string& text, std::uint64_t hi, std::uint64_t* pOut) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > hi) return false;
  *pOut = value;
  return true;
}

// Fills *pOptions from argv; on a bad command line returns false with the reason in *pError.
bool ParseOptions(int argc, char** argv, TOptions* pOptions, std::string* pError) {
  TOptions& o = *pOptions;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    const auto flag = [&](bool* pFlag) {
      if (inlineValue) {
        *pError = "option " + name + " takes no value";
        return false;
      }
      *pFlag = true;
      return true;
    };
    std::string value;
    const auto takeValue = [&]() {
      if (inlineValue) {
        value = *inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        *pError = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    const auto bad = [&](const char* what) {
      *pError = "option " + name + ": " + what + ", not '" + value + "'";
      return false;
    };
    const auto probability = [&](double* pOut) {
      if (!takeValue()) return false;
      return ParseDouble(value, 0.0, 1.0, pOut) || bad("expected a probability from 0 to 1");
    };
    std::uint64_t number = 0;

    if (name == "--help" || name == "-h") {
      if (!flag(&o.help)) return false;
    } else if (name == "--verbose") {
      if (!flag(&o.verbose)) return false;
    } else if (name == "--loop") {
      if (!flag(&o.loop)) return false;
    } else if (name == "--uart") {
      if (!flag(&o.uart)) return false;
    } else if (name == "--device") {
      if (!takeValue()) return false;
      if (value.empty()) return bad("expected a path");
      o.device = value;
    } else if (name == "--link") {
      if (!takeValue()) return false;
      if (value.empty()) return bad("expected a path");
      o.link = value;
    } else if (name == "--replay") {
      if (!takeValue()) return false;
      if (value.empty()) return bad("expected a file");
      o.replay = value;
    } else if (name == "--rate") {
      if (!takeValue()) return false;
      if (!ParseDouble(value, 0.0, kMaxRate, &o.rate)) return bad("expected frames per second, 0 to 100000");
    } else if (name == "--count") {
      if (!takeValue()) return false;
      if (!ParseUnsigned(value, std::numeric_limits<std::uint64_t>::max() / 2, &o.count) || o.count == 0)
        return bad("expected a number of frames, at least 1");
    } else if (name == "--duration") {
      if (!takeValue()) return false;
      if (!ParseDouble(value, 0.0, 1e9, &o.duration) || o.duration <= 0.0)
        return bad("expected seconds, more than 0");
    } else if (name == "--serial") {
      if (!takeValue()) return false;
      if (value.size() > 4 || !ParseUnsigned(value, 9999, &number)) return bad("expected 1 to 4 digits");
      o.serial = std::string(4 - value.size(), '0') + value;
    } else if (name == "--game") {
      if (!takeValue()) return false;
      if (!ParseUnsigned(value, 9999, &number)) return bad("expected a game id from 0 to 9999");
      o.firstGame = static_cast<int>(number);
    } else if (name == "--cycle") {
      if (!takeValue()) return false;
      if (!ParseUnsigned(value, 1000000, &number) || number < 4)
        return bad("expected frames per game, 4 to 1000000");
      o.cycle = static_cast<int>(number);
    } else if (name == "--tag") {
      if (!takeValue()) return false;
      bool ok = value.size() == 3;
      for (const char c : value) ok = ok && c > ' ' && c < 0x7F && c != '*' && c != ';';
      if (!ok) return bad("expected 3 printable characters other than '*' and ';'");
      o.tag = value;
    } else if (name == "--seed") {
      if (!takeValue()) return false;
      if (!ParseUnsigned(value, std::numeric_limits<std::uint64_t>::max() / 10, &number))
        return bad("expected a non-negative integer");
      o.seed = number;
    } else if (name == "--errors") {
      if (!probability(&o.errors)) return false;
    } else if (name == "--garble") {
      if (!probability(&o.garble)) return false;
    } else if (name == "--truncate") {
      if (!probability(&o.truncate)) return false;
    } else if (name == "--junk") {
      if (!probability(&o.junk)) return false;
    } else {
      *pError = "unknown option '" + name + "' (see --help)";
      return false;
    }
  }
  if (!o.link.empty() && !o.device.empty()) {
    *pError = "--link works only with the simulator's own pseudo-terminal, not with --device";
    return false;
  }
  if (o.uart && !o.device.empty()) {
    *pError = "--uart works only with the simulator's own pseudo-terminal, not with --device";
    return false;
  }
  if (o.loop && o.replay.empty()) {
    *pError = "--loop needs --replay";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Game cycles

struct TFrameFields {
  int phase = kPhaseBets;
  int winning = -1;  // -1: blank
  int wheelSpeed = 0;
  int wheelDirection = 0;
  int ballSpeed = 0;
  int ballDirection = 1;
  int ballLaps = 0;
  int game = 0;
  int errorFlag = 0;
};

int Clamp4(double value) { return static_cast<int>(std::lround(std::fmin(std::fmax(value, 0.0), 9999.0))); }

// The 42 bytes of one frame.
std::string FormatFrame(const std::string& tag, const std::string& serial, const TFrameFields& f) {
  char winning[3] = {' ', ' ', '\0'};
  if (f.winning >= 0) {
    winning[0] = static_cast<char>('0' + f.winning / 10 % 10);
    winning[1] = static_cast<char>('0' + f.winning % 10);
  }
  char text[64];
  std::snprintf(text, sizeof text, "*%.3s%.4s;%01d;%.2s;%04d;%01d;%04d;%01d;%04d;%04d;%02d\r\n", tag.c_str(),
                serial.c_str(), f.phase % 10, winning, f.wheelSpeed % 10000, f.wheelDirection % 10,
                f.ballSpeed % 10000, f.ballDirection % 10, f.ballLaps % 10000, f.game % 10000,
                f.errorFlag % 100);
  return text;
}

// Plays one game after another: a game lasts `cycle` frames, split over the four phases.
class TGame {
 public:
  TGame(const TOptions& options, TRandom* pRandom)
      : options_(options),
        random_(*pRandom),
        game_(options.firstGame),
        wheelDirection_(pRandom->Between(0, 1)) {
    const int c = options.cycle;
    bets_ = std::max(1, c * 40 / 100);
    launched_ = std::max(1, c * 20 / 100);
    slowing_ = std::max(1, c * 25 / 100);
    // Remaining frames show the result; at least one since cycle >= 4.
    StartGame();
  }

  std::string Next() {
    TFrameFields f;
    f.game = game_;
    f.wheelDirection = wheelDirection_;
    f.ballDirection = 1 - wheelDirection_;
    const int ballFrames = launched_ + slowing_;
    if (frame_ < bets_) {
      // The croupier spins the wheel up to this game's speed; the ball waits.
      f.phase = kPhaseBets;
      const double p = static_cast<double>(frame_ + 1) / bets_;
      f.wheelSpeed = Clamp4(wheelFrom_ + (wheelTop_ - wheelFrom_) * p + random_.Between(-2, 2));
    } else {
      // From the launch on, the wheel loses a quarter of its speed over the rest of the game.
      const double p = static_cast<double>(frame_ - bets_ + 1) / (options_.cycle - bets_);
      wheelNow_ = wheelTop_ * (1.0 - 0.25 * p);
      f.wheelSpeed = Clamp4(wheelNow_ + random_.Between(-2, 2));
      if (frame_ < bets_ + ballFrames) {
        // The ball slows down evenly from its launch speed; laps are the distance covered so far.
        f.phase = frame_ < bets_ + launched_ ? kPhaseLaunched : kPhaseSlowing;
        const double q = static_cast<double>(frame_ - bets_) / ballFrames;
        f.ballSpeed = Clamp4(ballTop_ * (1.0 - q) + random_.Between(-3, 3));
        f.ballLaps = static_cast<int>(laps_ * (2.0 * q - q * q));
      } else {
        f.phase = kPhaseResult;
        f.winning = winning_;
        f.ballLaps = laps_;
      }
    }
    if (random_.Chance(options_.errors)) {
      static constexpr int kFlags[] = {1, 2, 4, 8, 10, 20, 40};
      f.errorFlag = kFlags[random_.Between(0, 6)];
    }
    if (++frame_ == options_.cycle) {
      game_ = (game_ + 1) % 10000;
      wheelDirection_ = 1 - wheelDirection_;
      StartGame();
    }
    return FormatFrame(options_.tag, options_.serial, f);
  }

 private:
  void StartGame() {
    frame_ = 0;
    wheelFrom_ = wheelNow_;
    wheelTop_ = random_.Between(240, 300);
    wheelNow_ = wheelTop_;
    ballTop_ = random_.Between(900, 1200);
    laps_ = random_.Between(12, 35);
    winning_ = random_.Between(0, 36);
  }

  const TOptions& options_;
  TRandom& random_;
  int bets_ = 1, launched_ = 1, slowing_ = 1;
  int frame_ = 0;
  int game_ = 0;
  int wheelDirection_ = 0;
  double wheelFrom_ = 0.0, wheelTop_ = 0.0, wheelNow_ = 0.0, ballTop_ = 0.0;
  int laps_ = 0;
  int winning_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Faults

// Offsets and widths of the numeric fields of a frame.
struct TField {
  std::size_t offset, width;
};
constexpr TField kFields[] = {{4, 4},  {9, 1},  {11, 2}, {14, 4}, {19, 1},
                              {21, 4}, {26, 1}, {28, 4}, {33, 4}, {38, 2}};

void Garble(std::string* pFrame, TRandom* pRandom) {
  if (pFrame->size() != kFrameLength) return;
  static constexpr char kNonDigits[] = "x?#!@&%$~^_abqzXZ";
  const TField& field = kFields[pRandom->Between(0, std::size(kFields) - 1)];
  for (std::size_t i = 0; i < field.width; ++i)
    (*pFrame)[field.offset + i] = kNonDigits[pRandom->Between(0, sizeof kNonDigits - 2)];
}

std::string Junk(TRandom* pRandom) {
  std::string junk(pRandom->Between(1, 8), '\0');
  for (char& c : junk) {
    do c = static_cast<char>(pRandom->Between(0, 255));
    while (c == '*');
  }
  return junk;
}

// ---------------------------------------------------------------------------------------------------
// Time and output

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Sleeps until the absolute time `deadline`; false when a stop signal came first.
bool SleepUntil(std::int64_t deadline) {
  while (!gStop) {
    const std::int64_t now = NowNs();
    if (now >= deadline) return true;
    const std::int64_t until = std::min(deadline, now + kSliceNs);
    const timespec ts{static_cast<time_t>(until / kNsPerSecond), static_cast<long>(until % kNsPerSecond)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);  // EINTR: the loop looks at gStop
  }
  return false;
}

enum class TWrite { kDone, kStopped, kFailed };

// Writes all of `bytes` with as few write() calls as the line allows, waiting for room when it is full.
TWrite WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (gStop) return TWrite::kStopped;
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(kSliceNs / 1000000)) > 0 && (p.revents & (POLLERR | POLLNVAL)))
        return TWrite::kFailed;
    } else if (n < 0 && errno != EINTR) {
      return TWrite::kFailed;
    }
  }
  return TWrite::kDone;
}

void Echo(std::string_view bytes, const char* pPrefix = "") {
  if (bytes.size() >= 2 && bytes.substr(bytes.size() - 2) == "\r\n") bytes.remove_suffix(2);
  std::string line = pPrefix;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      line += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      line += hex;
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------------
// The line

// The device frames are written to: the given one or an own pseudo-terminal, with its link.
class TLine {
 public:
  ~TLine() {
    if (!link_.empty()) {
      char target[4096];
      const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
      if (n >= 0 && std::string_view(target, static_cast<std::size_t>(n)) == slavePath_)
        unlink(link_.c_str());
    }
    if (restore_) tcsetattr(fd_, TCSADRAIN, &saved_);
    if (fd_ >= 0) close(fd_);
    if (slave_ >= 0) close(slave_);
  }

  int fd() const { return fd_; }
  const std::string& slavePath() const { return slavePath_; }

  bool OpenDevice(const std::string& path, std::string* pError) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return Fail("cannot open " + path, pError);
    if (!isatty(fd_)) return true;  // a file or a pipe: bytes only
    if (tcgetattr(fd_, &saved_) != 0) return Fail("cannot read the settings of " + path, pError);
    restore_ = true;
    if (!SetLine(fd_)) return Fail("cannot set " + path + " to 19200 8N2", pError);
    return true;
  }

  bool OpenPty(const std::string& link, bool bUart, std::string* pError) {
    if (openpty(&fd_, &slave_, nullptr, nullptr, nullptr) != 0)
      return Fail("cannot create a pseudo-terminal", pError);
    const char* name = ttyname(slave_);
    if (name == nullptr) return Fail("cannot name the pseudo-terminal", pError);
    slavePath_ = name;
    if (fcntl(fd_, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave_, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK) != 0)
      return Fail("cannot set up the pseudo-terminal", pError);
    if (bUart) {
      // Held open from now on only by the line's readers, and left at the kernel's default settings
      // (38400 baud, canonical mode), as a UART's device is before a reader sets it.
      close(slave_);
      slave_ = -1;
    } else if (!SetLine(slave_)) {
      return Fail("cannot set " + slavePath_ + " to 19200 8N2", pError);
    }
    if (!link.empty()) return MakeLink(link, pError);
    return true;
  }

  enum class TUartState { kReceiving, kClosed, kSetOtherwise };

  // What a UART on the other side of the own pseudo-terminal would do with a frame arriving now.
  TUartState UartState() const {
    pollfd p{fd_, 0, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) return TUartState::kClosed;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return TUartState::kSetOtherwise;
    const bool bLine = (t.c_cflag & CBAUD) == B19200 &&
                       (t.c_cflag & (CSIZE | PARENB | CSTOPB)) == (CS8 | CSTOPB) && (t.c_cflag & CREAD) != 0;
    const bool bRaw = (t.c_lflag & (ICANON | ISIG | IEXTEN | ECHO)) == 0 &&
                      (t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON)) == 0;
    return bLine && bRaw ? TUartState::kReceiving : TUartState::kSetOtherwise;
  }

 private:
  // Raw 19200 baud, 8 data bits, no parity, 2 stop bits, no flow control.
  static bool SetLine(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~(PARENB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return cfsetispeed(&t, B19200) == 0 && cfsetospeed(&t, B19200) == 0 && tcsetattr(fd, TCSANOW, &t) == 0;
  }

  // Points `link` at the slave, replacing a symbolic link already there but nothing else.
  bool MakeLink(const std::string& link, std::string* pError) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
      return Fail(link + " exists and is not a symbolic link", pError);
    const std::string temporary = link + ".tmp" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(slavePath_.c_str(), temporary.c_str()) != 0)
      return Fail("cannot create " + temporary, pError);
    if (rename(temporary.c_str(), link.c_str()) != 0) {
      const int saved = errno;
      unlink(temporary.c_str());
      errno = saved;
      return Fail("cannot create " + link, pError);
    }
    link_ = link;
    return true;
  }

  static bool Fail(const std::string& what, std::string* pError) {
    *pError = what + ": " + std::strerror(errno);
    return false;
  }

  int fd_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string link_;
  termios saved_{};
  bool restore_ = false;
};

bool LoadReplay(const std::string& path, std::vector<std::string>* pLines, std::string* pError) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *pError = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pLines->push_back(line + "\r\n");
  }
  if (pLines->empty()) {
    *pError = path + " holds no lines";
    return false;
  }
  return true;
}

int Run(const TOptions& options) {
  std::string error;
  std::vector<std::string> replay;
  if (!options.replay.empty() && !LoadReplay(options.replay, &replay, &error)) {
    std::fprintf(stderr, "kestrin_wheel_sim: %s\n", error.c_str());
    return kExitError;
  }
  TLine line;
  const bool opened = options.device.empty() ? line.OpenPty(options.link, options.uart, &error)
                                             : line.OpenDevice(options.device, &error);
  if (!opened) {
    std::fprintf(stderr, "kestrin_wheel_sim: %s\n", error.c_str());
    return kExitError;
  }
  if (options.device.empty()) {
    std::printf("pty: %s\n", line.slavePath().c_str());
    std::fflush(stdout);
  }

  TRandom random(options.seed ? *options.seed : std::random_device{}());
  TGame game(options, &random);
  const std::int64_t period = options.rate > 0.0 ? std::llround(kNsPerSecond / options.rate) : 0;
  const std::int64_t start = NowNs();
  const std::int64_t end = options.duration > 0.0 ? start + std::llround(options.duration * kNsPerSecond)
                                                  : std::numeric_limits<std::int64_t>::max();
  std::int64_t base = start;  // frame k is due at base + (k - baseFrame) * period
  std::uint64_t baseFrame = 0;
  std::size_t replayIndex = 0;
  std::uint64_t nSent = 0, nDroppedClosed = 0, nDroppedSettings = 0;
  const auto drop = [&](bool bClosed, const std::string& chunk) {
    ++(bClosed ? nDroppedClosed : nDroppedSettings);
    if (options.verbose) Echo(chunk, bClosed ? "dropped (closed): " : "dropped (settings): ");
  };

  for (std::uint64_t k = 0; !gStop; ++k) {
    if (options.count != 0 && k >= options.count) break;
    if (!replay.empty() && replayIndex == replay.size()) {
      if (!options.loop) break;
      replayIndex = 0;
    }
    std::int64_t deadline = base + static_cast<std::int64_t>(k - baseFrame) * period;
    if (period > 0 && NowNs() > deadline + std::max(period, kResyncNs)) {
      // Far behind (the line was full): go on from now rather than sending the missed frames in a burst.
      // A smaller lag (a late wake-up) is made up by the next frames, so the mean rate holds.
      base = deadline = NowNs();
      baseFrame = k;
    }
    if (deadline >= end || (period == 0 && NowNs() >= end)) {
      SleepUntil(end);  // the run lasts the whole duration even when no frame is due before its end
      break;
    }
    if (!SleepUntil(deadline)) break;

    std::string frame = replay.empty() ? game.Next() : replay[replayIndex++];
    if (random.Chance(options.garble)) Garble(&frame, &random);
    if (random.Chance(options.truncate) && frame.size() > 1)
      frame.resize(random.Between(1, frame.size() - 1));
    const std::string chunk = random.Chance(options.junk) ? Junk(&random) + frame : frame;

    if (options.uart) {
      const TLine::TUartState state = line.UartState();
      if (state != TLine::TUartState::kReceiving) {
        drop(state == TLine::TUartState::kClosed, chunk);
        continue;
      }
    }
    const TWrite result = WriteAll(line.fd(), chunk);
    if (result == TWrite::kStopped) break;
    if (result == TWrite::kFailed && options.uart && errno == EIO) {  // closed between the look and the write
      drop(true, chunk);
      continue;
    }
    if (result == TWrite::kFailed) {
      const std::string where = options.device.empty() ? line.slavePath() : options.device;
      std::fprintf(stderr, "kestrin_wheel_sim: cannot write to %s: %s\n", where.c_str(),
                   std::strerror(errno));
      return kExitError;
    }
    ++nSent;
    if (options.verbose) Echo(chunk);
  }
  if (options.uart) {
    std::printf("uart: %llu frames sent, %llu dropped (%llu while closed, %llu while set otherwise)\n",
                static_cast<unsigned long long>(nSent),
                static_cast<unsigned long long>(nDroppedClosed + nDroppedSettings),
                static_cast<unsigned long long>(nDroppedClosed),
                static_cast<unsigned long long>(nDroppedSettings));
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kestrin_wheel_sim: %s\n", error.c_str());
    return kExitError;
  }
  if (options.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a signal cuts a sleep or a poll short
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_TIMERSLACK, 1UL);  // wake up on time at high rates (the default slack is 50 us)
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrin_wheel_sim: %s\n", e.what());
    return kExitError;
  }
}
