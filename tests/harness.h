// Real parts for the tests: pseudo-terminals as serial devices, the built bridge as a child process, a
// mosquitto broker and a mosquitto_sub subscriber. Every wait here is bounded.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kt {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// A pseudo-terminal; the slave's path stands in for a serial device.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  const std::string& Path() const { return slave_; }
  int Master() const { return master_; }
  void Write(const std::string& bytes) const;
  termios Settings() const;
  void SetSettings(const termios& settings) const;
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_fd_ = -1;  // kept open so the line stays up while the program under test reopens it
  std::string slave_;
};

// A well-formed 42-byte status frame.
std::string Frame(int serial, int phase, const std::string& win2, int wheel_speed, int wheel_dir,
                  int ball_speed, int ball_dir, int laps, int game, int error);

// What a child's standard input is.
enum StdinMode { kStdinNull = 0, kStdinPipe = 1, kStdinClosed = 2 };

// A child process with its standard input on a pipe and standard output and error collected.
class Process {
 public:
  explicit Process(std::vector<std::string> argv, int stdin_mode = kStdinPipe);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  void WriteStdin(const std::string& text);
  void CloseStdin();
  void Signal(int sig);
  // While stalled, nothing reads the child's standard output (a stuck logger, Ctrl-S); its pipe holds
  // only a page.
  void StallOutput(bool stalled);
  // True once stdout holds `text` at or after byte `from`.
  bool WaitForOutput(const std::string& text, Ms timeout, std::size_t from = 0);
  // Waits for the exit; returns the exit status, or -1000 - signal, or -1 on time-out.
  int WaitExit(Ms timeout);
  bool Running();
  std::string Out();
  std::string Err();

 private:
  void Reader(int fd, std::string* sink);

  pid_t pid_ = -1;
  int in_ = -1;
  int status_ = -1;
  bool exited_ = false;
  bool stalled_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::thread out_reader_, err_reader_;
};

// The programs under test: the console program, the service entry and the wheel simulator.
std::vector<std::string> Bridge(std::vector<std::string> args);
std::vector<std::string> Bridged(std::vector<std::string> args);
std::vector<std::string> WheelSim(std::vector<std::string> args);

// A mosquitto broker, by default anonymous on 127.0.0.1:1883 and keeping nothing (the test runs in a
// network namespace of its own).
class Broker {
 public:
  Broker();
  ~Broker();
  // Replaces the configuration by `conf` plus the log settings; Start() then waits for `port`.
  void Configure(const std::string& conf, int port);
  const std::string& Dir() const { return dir_; }  // a fresh directory the broker may write in
  bool Start();  // true once it accepts connections
  void Stop();
  std::string Log();

 private:
  std::string dir_;
  int port_ = 1883;
  std::unique_ptr<Process> process_;
};

// mosquitto_sub on the documents' topics; each message as "topic qos retained hexpayload".
class Subscriber {
 public:
  // `connection`: mosquitto_sub's options naming the broker and how to log in to it. By default the
  // documents only: the service entry publishes its status topic beside them.
  explicit Subscriber(std::vector<std::string> connection = {"-h", "127.0.0.1"},
                      const std::string& topic = "/rng/roulette/kestrin_live/+/gameStatus");
  bool Ready(Ms timeout);
  // Waits until n messages have arrived; returns all that did.
  std::vector<std::string> WaitMessages(std::size_t n, Ms timeout);
  // For each message so far, whether the broker sent it again (DUP set): QoS 1 allows that when the
  // broker went away before it saw the subscriber's acknowledgement.
  std::vector<bool> Resent();

 private:
  std::vector<std::string> Messages();
  Process process_;
};

// A bound for a wait, scaled for a slower run (an emulator, a sanitizer, KESTRIN_TEST_TIME_SCALE);
// every wait of the harness applies it.
Ms Scaled(Ms timeout);
std::string Hex(const std::string& bytes);
bool WaitUntil(const std::function<bool()>& done, Ms timeout);
int CountFds(pid_t pid);

}  // namespace kt
