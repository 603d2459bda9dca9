// The broker account: a user name and password that every connect (the first and each reconnect)
// carries. Read from a file that only its owner can read, never from the command line or the
// environment, so the password shows up in no process listing and no journal line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "kestrin_credentials.h"

namespace credentials {
namespace {

// MQTT carries the user name and the password with a 16-bit length each; a longer one cannot be sent
// whole, and cutting it would only make the broker refuse a password that looks right in its file.
constexpr std::size_t kMaxField = 65535;
// The first line is read up to this: both fields at their longest, the ':', CR LF and a byte-order mark.
constexpr std::size_t kMaxLine = 2 * kMaxField + 6;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Set before Init, then only read: by the first connect and by the reconnecting thread.
std::string gUser;
std::string gPassword;
char gFailure[96] = "";

void Forget(std::string& s) {
  std::fill(s.begin(), s.end(), '\0');
  s.clear();
}

// Wipes the text read from the file whichever way reading ends.
struct TWiped {
  std::string text;
  ~TWiped() { Forget(text); }
};

int Fail(const char* pWhy) {
  std::snprintf(gFailure, sizeof gFailure, "%s", pWhy);
  return -2;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory, not a file";
  if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
  if (S_ISSOCK(mode)) return "a socket, not a regular file";
  return "not a regular file";
}

}  // namespace

void SetCredentials(const char* pUser, const char* pPassword) noexcept {
  try {
    Forget(gUser);
    Forget(gPassword);
    if (pUser == nullptr || *pUser == '\0') return;
    gUser = pUser;
    gPassword = pPassword ? pPassword : "";
  } catch (...) {
    Forget(gUser);
    Forget(gPassword);
  }
}

int ReadCredentials(const char* pPath) noexcept {
  try {
    // Opened without waiting (a FIFO nobody writes would hold start-up for ever), and taken only when
    // it is a regular file: reading a FIFO, a device or a directory either blocks or means nothing.
    const int fd = open(pPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      const int nError = errno;
      std::snprintf(gFailure, sizeof gFailure, "%s", std::strerror(nError));
      errno = nError;
      return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      close(fd);
      return Fail(KindOf(info.st_mode));
    }
    TWiped line;
    line.text.resize(kMaxLine + 1);
    std::size_t nRead = 0;
    while (nRead < line.text.size()) {
      const ssize_t n = read(fd, line.text.data() + nRead, line.text.size() - nRead);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int nError = errno;
        close(fd);
        std::snprintf(gFailure, sizeof gFailure, "%s", std::strerror(nError));
        errno = nError;
        return -1;
      }
      if (n == 0) break;
      nRead += static_cast<std::size_t>(n);
      if (std::memchr(line.text.data(), '\n', nRead) != nullptr) break;
    }
    close(fd);
    line.text.resize(nRead);
    // One line "USER:PASSWORD", the form mosquitto_passwd also reads; the password may hold ':'.
    const std::size_t nEnd = line.text.find('\n');
    if (nEnd == std::string::npos && nRead > kMaxLine) return Fail("the first line is too long");
    line.text.resize(std::min(nEnd, line.text.size()));
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    // An editor's byte-order mark is not part of the user name.
    if (line.text.starts_with(kByteOrderMark)) line.text.erase(0, sizeof kByteOrderMark - 1);
    if (line.text.find('\0') != std::string::npos) return Fail("the first line holds a NUL byte");
    const std::size_t nColon = line.text.find(':');
    if (nColon == std::string::npos || nColon == 0 || nColon + 1 == line.text.size())
      return Fail("no line USER:PASSWORD");
    if (nColon > kMaxField) return Fail("the user name is longer than 65535 bytes");
    if (line.text.size() - nColon - 1 > kMaxField) return Fail("the password is longer than 65535 bytes");
    line.text[nColon] = '\0';
    SetCredentials(line.text.c_str(), line.text.c_str() + nColon + 1);
    gFailure[0] = '\0';
    return 0;
  } catch (...) {
    return Fail("out of memory");
  }
}

const char* CredentialsFailure() noexcept { return gFailure; }
const char* CredentialUser() noexcept { return gUser.c_str(); }
const char* CredentialPassword() noexcept { return gPassword.c_str(); }

}  // namespace credentials
