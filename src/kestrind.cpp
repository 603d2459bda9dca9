// kestrin_bridged: the bridge run by a service manager. Same bridge and console lines as kestrin_bridge,
// but it never reads standard input, ends when it cannot work (so the service manager restarts it) and
// speaks systemd's notification protocol: READY=1 once running, STOPPING=1 at shutdown, and STATUS=
// lines for `systemctl status`. Without NOTIFY_SOCKET the notifications do nothing. Its lines carry
// their priorities for the journal.
//
// The bridge's health (kestrin_health.h) changes on its own and the client library's threads, where
// nothing may block; its listener only rings a doorbell. The main thread waits on that doorbell and on
// the stop descriptor, and does all the notifying.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "kestrin_box_key.h"
#include "kestrin_cmdline.h"
#include "kestrin_console.h"
#include "kestrin_control.h"
#include "kestrin_credentials.h"
#include "kestrin_health.h"
#include "kestrin_process.h"
#include "kestrin_restart.h"
#include "kestrin_signature.h"
#include "kestrin_status_topic.h"

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
// Counts in the status line change with every frame; the service manager hears of them at most this
// often. A change of state (connection lost, wheel silent) is sent at once.
constexpr auto kStatusInterval = std::chrono::seconds(1);
constexpr int kFlushMs = 2000;
constexpr int kDrainMs = 5000;
// An orderly stop waits this long at most for the broker to confirm the status "stopped".
constexpr int kStoppedWaitMs = 2000;

// Rung by health's listener; main looks at health::Snapshot() when it rings.
TDoorbell* gHealthChanged = nullptr;
std::atomic<bool> gChanged{false};  // rung with it
// Counts alone change with every frame, and the status line tells them at most once a second: while
// main waits for that second anyway, a change of counts alone does not wake it.
std::atomic<bool> gTimed{false};
std::atomic<int> gLastState{-1};
std::atomic<bool> gConnectingTold{false};

void OnHealthChanged() {
  health::THealth health;
  health::Snapshot(&health);
  // Told from within Init, on the main thread: the status line says so at once.
  if (health.nState == health::kConnecting && !gConnectingTold.exchange(true))
    sd_notifyf(0, "STATUS=Connecting to the broker at %s", control::BrokerUri());
  gChanged = true;
  const bool bNewState = gLastState.exchange(health.nState) != health.nState;
  if (gHealthChanged && (bNewState || health.bWorkerEnded || !gTimed)) gHealthChanged->Ring();
}

bool WorkerEnded() {
  health::THealth health;
  health::Snapshot(&health);
  return health.bWorkerEnded;
}

// Whether standard output is the journal's stream (systemd sets JOURNAL_STREAM to its device and
// inode): only there do the priority prefixes mean something; elsewhere they would be noise.
bool ToJournal() {
  const char* pStream = std::getenv("JOURNAL_STREAM");
  struct stat out {};
  if (pStream == nullptr || fstat(STDOUT_FILENO, &out) != 0) return false;
  return std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino) == pStream;
}

// The state part of the status line; a change of it is notified at once, a change of the counts at
// most every kStatusInterval. The health module orders the states worst first.
std::string StateText(const char* pWheel) {
  health::THealth health;
  health::Snapshot(&health);
  const std::string wheel = "Wheel " + std::string(pWheel) + ": ";
  switch (health.nState) {
    case health::kDeviceLost:
      return wheel + "serial device lost, reopening it";
    case health::kBrokerAway: {
      std::string state = wheel + "broker connection lost, reconnecting";
      if (health.nRefusal != 0)
        state += "; the broker refuses it (code " + std::to_string(health.nRefusal) + ")";
      return state;
    }
    case health::kNotConfirming:
      return wheel + "deliveries not confirmed by the broker (" + std::to_string(health.nUnconfirmed) + ")";
    case health::kBehind:
      return wheel + "behind the wheel by " + std::to_string(health.nBehindSeconds) + " s";
    case health::kSilent:
      return wheel + "no frame for 30 s";
    default:
      return "Publishing wheel " + std::string(pWheel) + " to " + control::BrokerUri();
  }
}

// A state without its figures: a new kind of state is told at once, new figures (the seconds behind
// the wheel, the deliveries not confirmed) like the counts.
std::string Kind(std::string state) {
  state.erase(std::remove_if(state.begin(), state.end(), [](char c) { return c >= '0' && c <= '9'; }),
              state.end());
  return state;
}

void NotifyStatus(const std::string& state, bool bReady) {
  health::THealth health;
  health::Snapshot(&health);
  const std::string givenWay =
      health.nJournalGivenWay > 0
          ? "; " + std::to_string(health.nJournalGivenWay) + " gave way in the full journal unconfirmed"
          : "";
  sd_notifyf(0, "%sSTATUS=%s; frames since start: %ld published, %ld dropped, %d unconfirmed%s",
             bReady ? "READY=1\n" : "", state.c_str(), health.nPublished, health.nDropped,
             health.nUnconfirmed, givenWay.c_str());
}

// The counts the status line shows; a late confirmation moves one from unconfirmed to published.
struct TCounts {
  long nPublished = 0, nDropped = 0;
  int nUnconfirmed = 0;
  long nGivenWay = 0;
  bool operator==(const TCounts&) const = default;
};
TCounts Counted() {
  health::THealth health;
  health::Snapshot(&health);
  return {health.nPublished, health.nDropped, health.nUnconfirmed, health.nJournalGivenWay};
}

// The status topic (kestrin_status_topic.h): who speaks, the will that speaks for a bridge that
// vanishes, and the document whenever it is due.
status_topic::TIdentity gIdentity;
status_topic::TSchedule gSchedule;
std::string gStatusTopic;

void MakeWill(const char* pClientId, const char* pDevice, std::string* pTopic, std::string* pPayload) {
  gIdentity.device = pDevice;
  gStatusTopic = status_topic::Topic(pClientId);
  *pTopic = gStatusTopic;
  *pPayload = status_topic::Will(gIdentity);
}

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Publishes the status when it is due; otherwise lowers *pTimeoutMs to when it will be.
void SendStatus(ThKestrinControl hControl, int* pTimeoutMs) {
  health::THealth health;
  health::Snapshot(&health);
  int nWaitMs = -1;
  const std::int64_t nNow = SteadyMs();
  // Until the first frame has had its chance the status would say nothing of it.
  if (health.nState == health::kStarting) return;
  if (status_topic::Due(gSchedule, health.nState, nNow, &nWaitMs)) {
    const std::string doc =
        status_topic::Document(health::StateName(health.nState), health, gIdentity, WallMs());
    const bool bOk = control::PublishRetained(hControl, gStatusTopic.c_str(), doc, 0) == 0;
    status_topic::Sent(gSchedule, health.nState, nNow, bOk);
    status_topic::Due(gSchedule, health.nState, nNow, &nWaitMs);
  }
  if (nWaitMs >= 0 && (*pTimeoutMs < 0 || nWaitMs < *pTimeoutMs)) *pTimeoutMs = nWaitMs;
}

// Runs until a stop is requested or the worker ends; keeps the service manager's status line and the
// status topic current.
void Supervise(ThKestrinControl hControl) {
  const char* pWheel = control::ClientId(hControl);
  using Clock = std::chrono::steady_clock;
  std::string state = StateText(pWheel);
  TCounts counted = Counted();
  auto lastSent = Clock::now();
  NotifyStatus(state, /*bReady=*/false);

  while (!WorkerEnded()) {
    const std::string current = StateText(pWheel);
    const TCounts count = Counted();
    int nTimeoutMs = -1;
    if ((current != state || count != counted) &&
        (Kind(current) != Kind(state) || Clock::now() >= lastSent + kStatusInterval)) {
      state = current;
      counted = count;
      lastSent = Clock::now();
      NotifyStatus(state, false);
    }
    // Within the second after a line main waits for its end whatever changes: the counts of the frames
    // that come meanwhile are told then, one wake-up a second while frames keep coming (waking at the
    // first new count and again at the second's end would be two). New counts alone need not wake main
    // then; any other change rings.
    if (const auto now = Clock::now(); now < lastSent + kStatusInterval)
      nTimeoutMs = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(lastSent + kStatusInterval - now).count());
    gTimed = nTimeoutMs >= 0;
    SendStatus(hControl, &nTimeoutMs);
    gHealthChanged->WaitFor([] { return gChanged.exchange(false); }, nTimeoutMs, process::StopDescriptor());
    if (process::StopRequested()) return;
  }
}

// The broker account comes as the service manager's credential "broker" (LoadCredential=), so the
// service's user never reads the file it was made from and no secret is in the environment. Without
// one the bridge connects as an open broker expects. False when one was given but cannot be used.
bool TakeCredential() {
  const char* pDir = std::getenv("CREDENTIALS_DIRECTORY");
  if (pDir == nullptr || *pDir == '\0') return true;
  const std::string path = std::string(pDir) + "/broker";
  const int rc = credentials::ReadCredentials(path.c_str());
  if (rc == 0 || (rc == -1 && errno == ENOENT)) return true;
  const std::string why = credentials::CredentialsFailure();
  sd_notifyf(0, "STATUS=Start-up failed: the broker credential %s: %s", path.c_str(), why.c_str());
  console::Err("Start-up failed: the broker credential %s: %s; exiting\n", path.c_str(), why.c_str());
  return false;
}

// The lines of one start-up attempt, held back until it is known whether they say anything new. The
// console writes with write(2) to descriptors 1 and 2, so both point at a memory file meanwhile;
// console::Flush() first makes sure that no line of the attempt is still queued.
class THeldLines {
 public:
  THeldLines() {
    nFile_ = memfd_create("kestrin-start-up", MFD_CLOEXEC);
    nOut_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    nErr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (nFile_ < 0 || nOut_ < 0 || nErr_ < 0 || dup2(nFile_, STDOUT_FILENO) < 0 ||
        dup2(nFile_, STDERR_FILENO) < 0)
      Release(false);  // nothing held: the lines go out as they come
  }
  THeldLines(const THeldLines&) = delete;
  THeldLines& operator=(const THeldLines&) = delete;
  ~THeldLines() { Release(false); }

  // Puts standard output and error back; with bShow, what was held goes to standard output first.
  void Release(bool bShow) {
    if (nOut_ < 0 && nErr_ < 0 && nFile_ < 0) return;
    console::Flush(kFlushMs);
    if (nOut_ >= 0) dup2(nOut_, STDOUT_FILENO);
    if (nErr_ >= 0) dup2(nErr_, STDERR_FILENO);
    if (bShow && nFile_ >= 0 && lseek(nFile_, 0, SEEK_SET) == 0) {
      char buffer[4096];
      for (ssize_t n; (n = read(nFile_, buffer, sizeof buffer)) > 0;)
        for (ssize_t nDone = 0, nWritten; nDone < n; nDone += nWritten)
          if ((nWritten = write(STDOUT_FILENO, buffer + nDone, n - nDone)) <= 0) return CloseAll();
    }
    CloseAll();
  }

 private:
  void CloseAll() {
    for (int* pFd : {&nFile_, &nOut_, &nErr_}) {
      if (*pFd >= 0) close(*pFd);
      *pFd = -1;
    }
  }
  int nFile_ = -1;
  int nOut_ = -1;
  int nErr_ = -1;
};

// Seconds between start-up attempts inside this process; 0: a failed start-up ends it, for the service
// manager to start it again. The unit sets KESTRIN_START_RETRY_SECONDS, because each restart by
// systemd adds five lines of its own to the journal.
// The directory of the wheels' journals: KESTRIN_JOURNAL_DIRECTORY, else the unit's state directory
// (StateDirectory=, the first of $STATE_DIRECTORY), else /var/lib/kestrin-bridge. "none": no journal,
// and then documents without properties over MQTT 3.1.1, as the console program publishes them (the
// benchmark measures the journal's cost so).
std::string JournalDirectory() {
  if (const char* pDir = std::getenv("KESTRIN_JOURNAL_DIRECTORY"); pDir != nullptr && *pDir != '\0')
    return pDir;
  if (const char* pDir = std::getenv("STATE_DIRECTORY"); pDir != nullptr && *pDir != '\0') {
    const std::string dirs = pDir;
    return dirs.substr(0, dirs.find(':'));
  }
  return "/var/lib/kestrin-bridge";
}

// The serial device's descriptor in systemd's file descriptor store (FileDescriptorStoreMax=): a restart
// (systemctl restart, a kill and Restart=) hands it to the next start, so that what the wheel sends
// meanwhile waits in the kernel's buffer instead of being lost with the closed port. Its name carries
// the settings the device had before any bridge set its own ("serial-" and their bytes in hex), which
// the last stop puts back. The store is emptied when the unit stops for good.
constexpr char kStoreName[] = "serial-";

std::string Hex(const void* pData, std::size_t nSize) {
  std::string text;
  char byte[3];
  for (std::size_t i = 0; i < nSize; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<const unsigned char*>(pData)[i]);
    text += byte;
  }
  return text;
}

// Takes the stored descriptor, if systemd handed one over; others are closed.
void TakeStoredSerial(TInitData* pInitData) {
  char** ppNames = nullptr;
  const int nFds = sd_listen_fds_with_names(1, &ppNames);
  for (int i = 0; i < nFds; ++i) {
    const int nFd = SD_LISTEN_FDS_START + i;
    const std::string hex = ppNames && ppNames[i] ? ppNames[i] : "";
    termios original{};
    bool bOk = hex.rfind(kStoreName, 0) == 0 && hex.size() == sizeof kStoreName - 1 + 2 * sizeof original &&
               pInitData->nSerialFd < 0;
    for (std::size_t j = 0; bOk && j < sizeof original; ++j) {
      unsigned nByte = 0;
      bOk = std::sscanf(hex.c_str() + sizeof kStoreName - 1 + 2 * j, "%2x", &nByte) == 1;
      reinterpret_cast<unsigned char*>(&original)[j] = static_cast<unsigned char>(nByte);
    }
    if (bOk) {
      pInitData->nSerialFd = nFd;
      pInitData->serialOriginal = original;
    } else {
      close(nFd);
    }
  }
  if (ppNames != nullptr)
    for (int i = 0; i < nFds; ++i) std::free(ppNames[i]);
  std::free(ppNames);
}

// Hands the open device to the store; false when there is no store (not under systemd, or no
// FileDescriptorStoreMax=).
bool StoreSerial(ThKestrinControl hControl) {
  termios original{};
  const int nFd = control::SerialDescriptor(hControl, &original);
  if (nFd < 0 || std::getenv("NOTIFY_SOCKET") == nullptr) return false;
  const std::string message =
      "FDSTORE=1\nFDNAME=" + std::string(kStoreName) + Hex(&original, sizeof original);
  return sd_pid_notify_with_fds(0, 0, message.c_str(), &nFd, 1) > 0;
}

// A whole number from the environment within [nMin, nMax]; nDefault when unset or out of range.
int EnvNumber(const char* pName, int nMin, int nMax, int nDefault) {
  const char* pValue = std::getenv(pName);
  if (pValue == nullptr || *pValue == '\0') return nDefault;
  char* pEnd = nullptr;
  const long n = std::strtol(pValue, &pEnd, 10);
  if (*pEnd != '\0' || n < nMin || n > nMax) {
    console::Warning("%s=%s is not a number from %d to %d: %d is used\n", pName, pValue, nMin, nMax, nDefault);
    return nDefault;
  }
  return static_cast<int>(n);
}

int StartRetrySeconds() {
  const char* pValue = std::getenv("KESTRIN_START_RETRY_SECONDS");
  if (pValue == nullptr) return 0;
  char* pEnd = nullptr;
  const long n = std::strtol(pValue, &pEnd, 10);
  return *pEnd == '\0' && n > 0 && n <= 3600 ? static_cast<int>(n) : 0;
}

// Starts the control layer, trying again every nRetrySeconds while its start-up fails. The cause is
// told once with the lines of its attempt; the same cause again only as a reminder with a count, at
// most once a minute, the lines of those attempts dropped. Null when stopped (or failed, without retry).
ThKestrinControl StartControl(TInitData* pInitData, int nRetrySeconds) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kReminderInterval = std::chrono::minutes(1);
  std::string told;  // the cause told last
  auto toldAt = Clock::now();
  long nAgain = 0;  // failures with that cause since it was last told
  for (;;) {
    std::optional<THeldLines> held;
    if (!told.empty()) held.emplace();
    gConnectingTold = false;
    ThKestrinControl hControl = control::Init(pInitData);
    if (hControl != nullptr) {
      if (held) held->Release(/*bShow=*/true);
      return hControl;
    }
    if (process::WaitForStop(0)) return nullptr;
    const std::string why = control::StartFailure();
    const bool bNew = why != told;
    if (held) held->Release(bNew);
    sd_notifyf(0, "STATUS=Start-up failed: %s", why.c_str());
    if (nRetrySeconds == 0) {
      console::Err("Start-up failed: %s; exiting\n", why.c_str());
      return nullptr;
    }
    if (!bNew) ++nAgain;
    if (bNew) {
      console::Err("Start-up failed: %s; trying again every %d s\n", why.c_str(), nRetrySeconds);
      told = why;
      toldAt = Clock::now();
      nAgain = 0;
    } else if (Clock::now() - toldAt >= kReminderInterval) {
      console::Err("Start-up failed %ld more times since the last line: %s; trying again every %d s\n",
                   nAgain, why.c_str(), nRetrySeconds);
      toldAt = Clock::now();
      nAgain = 0;
    }
    console::Flush(kFlushMs);
    if (process::WaitForStop(nRetrySeconds * 1000)) return nullptr;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const cmdline::TCommandLine commandLine = cmdline::Parse(cmdline::TProgram::kService, argc, argv);
  if (commandLine.action == cmdline::TAction::kPrintKey) return box_key::PrintKey();
  if (commandLine.action == cmdline::TAction::kTellRestart) return restart::Tell();
  if (commandLine.action != cmdline::TAction::kRun)
    return cmdline::Answer(cmdline::TProgram::kService, commandLine);
  TInitData initData{};
  std::snprintf(initData.pSerialFileName, sizeof initData.pSerialFileName, "%s", commandLine.pDevice);
  const char* pDevice = initData.pSerialFileName;
  const std::string journalDirectory = JournalDirectory();
  initData.pJournalDirectory = journalDirectory == "none" ? nullptr : journalDirectory.c_str();
  initData.bKeepOnFailure = StartRetrySeconds() > 0;
  // The journal's retention of confirmed documents and its disk budget per wheel (journal.md).
  initData.nJournalRetentionDays = EnvNumber("KESTRIN_JOURNAL_RETENTION_DAYS", 0, 3650, -1);
  initData.nJournalBudgetMiB = EnvNumber("KESTRIN_JOURNAL_MAX_MIB", 16, 1 << 20, 0);
  TakeStoredSerial(&initData);
  const int nStoredFd = initData.nSerialFd;

  gHealthChanged = new TDoorbell;  // never destroyed: a library thread may ring it to the end
  if (!gHealthChanged->Valid()) {
    std::perror("eventfd");
    return kExitFailed;
  }
  if (ToJournal()) console::PrefixPriorities();
  process::TakeStopSignals(/*bRestartNotice=*/true);
  health::SetListener(OnHealthChanged);
  char box[256] = "";
  gethostname(box, sizeof box - 1);
  gIdentity.box = box;
  gIdentity.version = KESTRIN_VERSION;
  control::SetWillMaker(MakeWill);
  if (!TakeCredential()) {
    console::Flush(kFlushMs);
    return kExitFailed;
  }
  // With a journal only (the documents' properties need it); released at the end, once the control
  // layer that signs and checks with them has shut down.
  struct TKeyRelease {
    void operator()(void* hKey) const noexcept { signature::Destroy(hKey); }
  };
  std::unique_ptr<void, TKeyRelease> boxKey, siteKey;
  if (initData.pJournalDirectory != nullptr) {
    boxKey.reset(initData.hBoxKey = box_key::LoadBoxKey());
    if (initData.hBoxKey != nullptr) siteKey.reset(initData.hSiteKey = box_key::LoadSiteKey());
  }

  // Started as soon as it runs: a wheel switched off must hold up neither the boot nor a package
  // upgrade that restarts the service. The wait for the wheel and the broker is a state of the status.
  if (cmdline::IsAuto(pDevice))
    sd_notifyf(0, "READY=1\nSTATUS=Looking for the wheel's port among %s",
               cmdline::CandidatesText(true).c_str());
  else
    sd_notifyf(0, "READY=1\nSTATUS=Waiting for the first frame on %s", pDevice);
  ThKestrinControl hControl = StartControl(&initData, StartRetrySeconds());
  if (hControl == nullptr && !process::WaitForStop(0)) {
    console::Flush(kFlushMs);
    return kExitFailed;
  }

  // A descriptor taken back from the store is there still.
  const bool bTakenBack = nStoredFd >= 0 && control::SerialDescriptor(hControl, nullptr) == nStoredFd;
  const bool bStored = hControl != nullptr && (bTakenBack || StoreSerial(hControl));
  if (hControl != nullptr) Supervise(hControl);

  int nExit = kExitStopped;
  const bool bWorkerEnded = WorkerEnded();
  if (bWorkerEnded) {
    nExit = kExitFailed;
    console::Err("The worker ended on its own; shutting down\n");
  }
  sd_notify(0, "STOPPING=1\nSTATUS=Shutting down");
  // A restart leaves the line as the bridge set it: the unit's ExecStop= told so (SIGUSR1), or, where
  // the bus admits the bridge (a static user), systemd's job says so.
  if (bStored && !bWorkerEnded && (process::RestartNoticed() || restart::UnderWay()))
    control::KeepSerialSettings(hControl);
  // A stop (an upgrade's restart, say) first publishes what waits, while the broker confirms: well
  // inside the unit's stop time-out (20 s).
  if (!bWorkerEnded) control::Drain(hControl, kDrainMs);
  if (hControl != nullptr) {
    // The frames that were not published are counted first, so that "stopped" tells of them.
    control::StopPublishing(hControl);
    // Said before the disconnect, which discards the will: a site sees "stopped" after an orderly
    // stop, and what the will would have said when the bridge ends on its own.
    health::THealth health;
    health::Snapshot(&health);
    health.nStateSinceMs = WallMs();
    const std::string doc =
        bWorkerEnded ? status_topic::Will(gIdentity)
                     : status_topic::Document(health::StateName(health::kStopping), health, gIdentity,
                                              health.nStateSinceMs);
    control::PublishRetained(hControl, gStatusTopic.c_str(), doc, kStoppedWaitMs);
  }
  control::Shutdown(hControl);
  console::Flush(kFlushMs);
  return nExit;
}
