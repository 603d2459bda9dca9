#include "kestrin_restart.h"

#include <signal.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace restart {

bool UnderWay() noexcept {
  sd_bus* pBus = nullptr;
  sd_bus_message* pReply = nullptr;
  char* pType = nullptr;
  bool bRestart = false;
  std::uint32_t nJob = 0;
  const char* pJobPath = nullptr;
  // "unit/self" is the unit of the process asking, told by systemd from the bus peer: sd_pid_get_unit
  // cannot tell it under ProtectProc=invisible, which hides /proc/1, where it finds the cgroup root.
  if (sd_bus_open_system(&pBus) >= 0 &&
      sd_bus_get_property(pBus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1/unit/self",
                          "org.freedesktop.systemd1.Unit", "Job", nullptr, &pReply, "(uo)") >= 0 &&
      sd_bus_message_read(pReply, "(uo)", &nJob, &pJobPath) >= 0 && nJob != 0 &&
      sd_bus_get_property_string(pBus, "org.freedesktop.systemd1", pJobPath, "org.freedesktop.systemd1.Job",
                                 "JobType", nullptr, &pType) >= 0)
    bRestart = std::strcmp(pType, "restart") == 0 || std::strcmp(pType, "try-restart") == 0;
  std::free(pType);
  sd_bus_message_unref(pReply);
  sd_bus_flush_close_unref(pBus);
  return bRestart;
}

int Tell() noexcept {
  const char* pMain = std::getenv("MAINPID");
  char* pEnd = nullptr;
  const long nPid = pMain != nullptr ? std::strtol(pMain, &pEnd, 10) : 0;
  if (nPid <= 1 || *pEnd != '\0') return 0;  // the main process is gone already: nothing to tell
  if (!UnderWay()) {
    std::printf("A stop, not a restart: the bridge puts the line's original settings back\n");
  } else if (kill(static_cast<pid_t>(nPid), SIGUSR1) == 0) {
    std::printf("A restart: the bridge (PID %ld) leaves the line as it set it\n", nPid);
  } else {
    std::printf("A restart, but the bridge (PID %ld) cannot be told: %s\n", nPid, std::strerror(errno));
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace restart
