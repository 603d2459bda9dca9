// The broker account: a user name and password that every connect (the first and each reconnect)
// carries. Read from a file that only its owner can read, never from the command line or the
// environment, so the password shows up in no process listing and no journal line.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "kestrin_control_l.h"

namespace control {
namespace {

// Set before Init, then only read: by the first connect and by the reconnecting thread.
std::string gUser;
std::string gPassword;

void Forget(std::string& s) {
  std::fill(s.begin(), s.end(), '\0');
  s.clear();
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
    std::FILE* pFile = std::fopen(pPath, "re");
    if (pFile == nullptr) return -1;
    // One line "USER:PASSWORD", the form mosquitto_passwd also reads; the password may hold ':'.
    char line[512];
    const bool bRead = std::fgets(line, sizeof line, pFile) != nullptr;
    const int nSavedErrno = errno;
    std::fclose(pFile);
    errno = nSavedErrno;
    if (!bRead) return -2;
    line[std::strcspn(line, "\r\n")] = '\0';
    char* pColon = std::strchr(line, ':');
    int nResult = -2;
    if (pColon != nullptr && pColon != line && pColon[1] != '\0') {
      *pColon = '\0';
      SetCredentials(line, pColon + 1);
      nResult = 0;
    }
    std::memset(line, 0, sizeof line);
    return nResult;
  } catch (...) {
    return -2;
  }
}

const char* CredentialUser() noexcept { return gUser.c_str(); }
const char* CredentialPassword() noexcept { return gPassword.c_str(); }

}  // namespace control
