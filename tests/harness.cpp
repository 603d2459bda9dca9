#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kt {

Pty::Pty() {
  char name[256];
  if (openpty(&master_, &slave_fd_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
  slave_ = name;
  // Children must not hold the master open, or closing it here would not hang the line up.
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_fd_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  CloseMaster();
  if (slave_fd_ >= 0) close(slave_fd_);
}

void Pty::Write(const std::string& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("pty write");
    done += static_cast<std::size_t>(n);
  }
}

termios Pty::Settings() const {
  termios t{};
  tcgetattr(slave_fd_, &t);
  return t;
}

void Pty::SetSettings(const termios& settings) const { tcsetattr(slave_fd_, TCSANOW, &settings); }

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

std::string Frame(int serial, int phase, const std::string& win2, int wheel_speed, int wheel_dir,
                  int ball_speed, int ball_dir, int laps, int game, int error) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "*LIV%04d;%01d;%.2s;%04d;%01d;%04d;%01d;%04d;%04d;%02d\r\n", serial, phase,
                win2.c_str(), wheel_speed, wheel_dir, ball_speed, ball_dir, laps, game, error);
  return buf;
}

Process::Process(std::vector<std::string> argv, int stdin_mode) {
  const bool stdin_pipe = stdin_mode == kStdinPipe;
  int in[2] = {-1, -1}, out[2], err[2];
  if ((stdin_pipe && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    if (stdin_pipe) {
      dup2(in[0], 0);
    } else if (stdin_mode == kStdinClosed) {
      close(0);
    } else {
      int devnull = open("/dev/null", O_RDONLY);
      dup2(devnull, 0);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (stdin_pipe) {
    close(in[0]);
    in_ = in[1];
  }
  close(out[1]);
  close(err[1]);
  fcntl(out[0], F_SETPIPE_SZ, 4096);
  out_reader_ = std::thread(&Process::Reader, this, out[0], &out_);
  err_reader_ = std::thread(&Process::Reader, this, err[0], &err_);
}

Process::~Process() {
  StallOutput(false);
  if (!exited_ && WaitExit(0ms) == -1) {
    kill(pid_, SIGKILL);
    WaitExit(5000ms);
  }
  CloseStdin();
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
}

void Process::Reader(int fd, std::string* sink) {
  char buf[4096];
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !stalled_ || sink != &out_; });
    }
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    sink->append(buf, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
  close(fd);
}

void Process::WriteStdin(const std::string& text) {
  if (in_ >= 0 && write(in_, text.data(), text.size()) < 0) perror("write stdin");
}

void Process::CloseStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Process::StallOutput(bool stalled) {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = stalled;
  changed_.notify_all();
}

void Process::Signal(int sig) {
  if (!exited_) kill(pid_, sig);
}

Ms Scaled(Ms timeout) {
  // Under an emulator or a sanitizer everything takes about three times as long; so does a machine
  // busy with other work, which KESTRIN_TEST_TIME_SCALE tells.
#if defined(KESTRIN_EMULATOR) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static const double scale = std::getenv("KESTRIN_TEST_TIME_SCALE") ? std::atof(std::getenv("KESTRIN_TEST_TIME_SCALE")) : 3.0;
#else
  static const double scale = std::getenv("KESTRIN_TEST_TIME_SCALE") ? std::atof(std::getenv("KESTRIN_TEST_TIME_SCALE")) : 1.0;
#endif
  return Ms(static_cast<long>(static_cast<double>(timeout.count()) * std::max(scale, 1.0)));
}

bool Process::WaitForOutput(const std::string& text, Ms timeout, std::size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, Scaled(timeout), [&] {
    return out_.size() > from && out_.find(text, from) != std::string::npos;
  });
}

int Process::WaitExit(Ms timeout) {
  if (exited_) return status_;
  const auto end = std::chrono::steady_clock::now() + Scaled(timeout);
  for (;;) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
      // Everything the child wrote is read once its pipes reach end of file.
      StallOutput(false);
      if (out_reader_.joinable()) out_reader_.join();
      if (err_reader_.joinable()) err_reader_.join();
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(5ms);
  }
}

bool Process::Running() { return WaitExit(0ms) == -1; }

std::string Process::Out() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string Process::Err() {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

namespace {

// A built program's command line; built for another machine, it runs under the emulator the tests
// themselves run under (its words separated by spaces).
std::vector<std::string> Built(const char* path, std::vector<std::string> args) {
  args.insert(args.begin(), path);
#ifdef KESTRIN_EMULATOR
  std::istringstream words(KESTRIN_EMULATOR);
  args.insert(args.begin(), std::istream_iterator<std::string>(words), {});
#endif
  return args;
}

}  // namespace

std::vector<std::string> Bridge(std::vector<std::string> args) { return Built(KESTRIN_BRIDGE_PATH, args); }
std::vector<std::string> Bridged(std::vector<std::string> args) { return Built(KESTRIN_BRIDGED_PATH, args); }
#ifdef KESTRIN_WHEEL_SIM_PATH
std::vector<std::string> WheelSim(std::vector<std::string> args) {
  return Built(KESTRIN_WHEEL_SIM_PATH, std::move(args));
}
#endif

namespace {

bool PortOpen(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(s);
  return ok;
}

}  // namespace

Broker::Broker() {
  char tmpl[] = "/tmp/kestrin-broker-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  chmod(tmpl, 0777);  // mosquitto started as root drops to its own user before it opens the log
  Configure("listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n", 1883);
}

void Broker::Configure(const std::string& conf, int port) {
  std::ofstream out(dir_ + "/mosquitto.conf");
  out << conf << "log_dest file " << dir_ << "/mosquitto.log\nlog_type all\nconnection_messages true\n";
  port_ = port;
}

Broker::~Broker() {
  Stop();
  std::system(("rm -rf " + dir_).c_str());
}

bool Broker::Start() {
  process_ = std::make_unique<Process>(std::vector<std::string>{"mosquitto", "-c", dir_ + "/mosquitto.conf"});
  return WaitUntil([this] { return PortOpen(port_); }, 5000ms);
}

void Broker::Stop() {
  if (!process_) return;
  process_->Signal(SIGTERM);
  if (process_->WaitExit(5000ms) == -1) process_->Signal(SIGKILL);
  process_.reset();
  WaitUntil([this] { return !PortOpen(port_); }, 5000ms);
}

std::string Broker::Log() {
  std::ifstream in(dir_ + "/mosquitto.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {

std::vector<std::string> SubscriberCommand(std::vector<std::string> connection, const std::string& topic) {
  std::vector<std::string> argv{"stdbuf", "-oL", "mosquitto_sub"};
  argv.insert(argv.end(), connection.begin(), connection.end());
  argv.insert(argv.end(), {"-d", "-q", "1", "-t", topic, "-F", "MSG %t %q %r %x"});
  return argv;
}

}  // namespace

Subscriber::Subscriber(std::vector<std::string> connection, const std::string& topic)
    : process_(SubscriberCommand(std::move(connection), topic)) {}

bool Subscriber::Ready(Ms timeout) { return process_.WaitForOutput("SUBACK", timeout); }

std::vector<std::string> Subscriber::Messages() {
  std::vector<std::string> messages;
  std::istringstream in(process_.Out());
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("MSG ", 0) == 0) messages.push_back(line.substr(4));
  return messages;
}

std::vector<bool> Subscriber::Resent() {
  std::vector<bool> resent;
  std::istringstream in(process_.Out());
  bool dup = false;  // from the debug line that precedes each message
  for (std::string line; std::getline(in, line);) {
    if (line.find(" received PUBLISH (d") != std::string::npos)
      dup = line.find(" received PUBLISH (d1") != std::string::npos;
    else if (line.rfind("MSG ", 0) == 0)
      resent.push_back(dup);
  }
  return resent;
}

std::vector<std::string> Subscriber::WaitMessages(std::size_t n, Ms timeout) {
  WaitUntil([&] { return Messages().size() >= n; }, timeout);
  return Messages();
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

bool WaitUntil(const std::function<bool()>& done, Ms timeout) {
  const auto end = std::chrono::steady_clock::now() + Scaled(timeout);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

int CountFds(pid_t pid) {
  int n = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n - 2;
}

}  // namespace kt
