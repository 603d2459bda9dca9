// The bridge's control layer: port discovery, the broker connection and its callbacks, the publishing
// worker and the orderly shutdown.
//
// Waiting: every operation started on the client library completes on one of the library's threads,
// which sets a flag under pMQTTConnectedMutex and rings a doorbell (an eventfd). The thread that
// started the operation blocks in poll() on that doorbell and on a wake-up descriptor (the process's
// stop descriptor at start-up, the worker's quit doorbell while running), so no wait spins and every
// wait can be cut short. No lock of ours is held across a call into the library: its callbacks run
// under the library's own lock and then take pMQTTConnectedMutex.
#include "kestrin_control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "kestrin_control_l.h"
#include "kestrin_deadline.h"
#include "kestrin_frame.h"

#ifndef KESTRIN_BROKER_HOST
#define KESTRIN_BROKER_HOST "localhost"
#endif

namespace control {

TMyData* p = nullptr;

const char* const ports_to_try[10] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3",
                                      "/dev/ttyUSB4", "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",
                                      "/dev/ttyS3",   "/dev/ttyS4"};

namespace {

constexpr char kServerUri[] = "tcp://" KESTRIN_BROKER_HOST ":1883";
constexpr int kKeepAliveSeconds = 20;
constexpr int kPassPauseMs = 150;
constexpr int kReopenPauseMs = 1000;
constexpr int kSilenceSeconds = 30;
// The disconnect is sent with time-out 0 and completes at once; this only bounds a library that
// never calls back.
constexpr int kDisconnectWaitMs = 10000;
constexpr int kMinRetrySeconds = 1;
constexpr int kMaxRetrySeconds = 60;

// Rung once a stop is requested or the broker connection is abandoned; never drained. Never destroyed
// either: the signal thread may ring it until the very end of the process.
const TDoorbell& gStop = *new TDoorbell;
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gConnectionAbandoned{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop must stay async-signal-safe");

void LockMutex(SDL_mutex* pMutex) { SDL_LockMutex(pMutex); }
void UnlockMutex(SDL_mutex* pMutex) { SDL_UnlockMutex(pMutex); }
void MainLockMutex(SDL_mutex* pMutex) { SDL_LockMutex(pMutex); }
void MainUnlockMutex(SDL_mutex* pMutex) { SDL_UnlockMutex(pMutex); }

// Blocks until flag is set (true), nWakeFd becomes readable or nTimeoutMs passes (false).
bool WaitForFlag(const std::atomic<bool>& flag, const TDoorbell& bell, int nWakeFd, int nTimeoutMs) {
  const TDeadline deadline(nTimeoutMs);
  while (!flag.load()) {
    if (deadline.Passed()) return false;
    pollfd fds[2] = {{bell.Fd(), POLLIN, 0}, {nWakeFd, POLLIN, 0}};
    int nReady = poll(fds, nWakeFd >= 0 ? 2 : 1, deadline.PollTimeout());
    if (nReady < 0 && errno != EINTR) return flag.load();
    if (nWakeFd >= 0 && (fds[1].revents & POLLIN)) return flag.load();
    bell.Drain();
  }
  return true;
}

// Sets the flags of a completion under the mutex, then rings the waiter's doorbell.
template <typename Update>
void Complete(TDoorbell TMyData::*pBell, Update update) {
  TMyData* pMyData = p;
  if (pMyData == nullptr) return;
  LockMutex(pMyData->pMQTTConnectedMutex);
  update(*pMyData);
  UnlockMutex(pMyData->pMQTTConnectedMutex);
  if (pBell) (pMyData->*pBell).Ring();
}

void onConnect(void*, MQTTAsync_successData*) {
  try {
    printf("Successful connection\n");
    Complete(&TMyData::mainDone, [](TMyData& d) {
      d.MQTTConnected = true;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onConnectFailure(void*, MQTTAsync_failureData* response) {
  try {
    printf("Connect failed, rc %d\n", response ? response->code : 0);
    Complete(&TMyData::mainDone, [](TMyData& d) {
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onSend(void*, MQTTAsync_successData* response) {
  try {
    printf("Message with token value %d delivery confirmed\n", response ? response->token : 0);
    Complete(&TMyData::sendDone, [](TMyData& d) {
      d.MQTTSent = true;
      d.MQTTSendDone = true;
    });
  } catch (...) {
  }
}

void onSendFailure(void*, MQTTAsync_failureData* response) {
  try {
    printf("Message send failed token %d error code %d\n", response ? response->token : 0,
           response ? response->code : 0);
    Complete(&TMyData::sendDone, [](TMyData& d) { d.MQTTSendDone = true; });
  } catch (...) {
  }
}

void onDisconnect(void*, MQTTAsync_successData*) {
  try {
    printf("Successful disconnection\n");
    Complete(&TMyData::mainDone, [](TMyData& d) {
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onDisconnectFailure(void*, MQTTAsync_failureData*) {
  try {
    printf("Disconnect failed\n");
    Complete(&TMyData::mainDone, [](TMyData& d) { d.MQTTThreadDone = true; });
  } catch (...) {
  }
}

// Blocks for nMs or until the worker is asked to quit.
void Pause(const TDoorbell& quit, int nMs) {
  const TDeadline deadline(nMs);
  while (!deadline.Passed()) {
    pollfd fd = {quit.Fd(), POLLIN, 0};
    int nReady = poll(&fd, 1, deadline.PollTimeout());
    if (nReady > 0 || (nReady < 0 && errno != EINTR)) return;
  }
}

int messageArrived(void*, char* topicName, int, MQTTAsync_message* m) {
  // Nothing is subscribed; free whatever arrives so the library does not keep it.
  MQTTAsync_freeMessage(&m);
  MQTTAsync_free(topicName);
  return 1;
}

void onReconnect(void*, MQTTAsync_successData*) {
  if (p) p->nRetrySeconds = kMinRetrySeconds;
}

// A reconnect attempt failed (the library may report one attempt more than once). The reconnect thread
// makes the next one after a pause that doubles with every failure, since a callback must not sleep.
void onReconnectFailure(void*, MQTTAsync_failureData* response) {
  try {
    TMyData* pMyData = p;
    if (pMyData == nullptr) return;
    printf("Reconnect failed, rc %d (%s); trying again\n", response ? response->code : 0,
           response && response->message ? response->message : "no reason given");
    pMyData->reconnectDue.Ring();
  } catch (...) {
  }
}

// Starts a connect that does not report to the main thread: its outcome only matters to the
// reconnect callbacks above.
int StartReconnect(MQTTAsync client) {
  MQTTAsync_connectOptions conn_opts = MQTTAsync_connectOptions_initializer;
  conn_opts.keepAliveInterval = kKeepAliveSeconds;
  conn_opts.cleansession = 1;
  conn_opts.onSuccess = onReconnect;
  conn_opts.onFailure = onReconnectFailure;
  conn_opts.context = client;
  int rc = MQTTAsync_connect(client, &conn_opts);
  return rc == MQTTASYNC_COMMAND_IGNORED ? MQTTASYNC_SUCCESS : rc;  // one is already queued
}

void connlost(void* context, char* cause) {
  try {
    printf("\nConnection lost, cause: %s; reconnecting...\n", cause ? cause : "(null)");
    int rc = StartReconnect(static_cast<MQTTAsync>(context));
    if (rc == MQTTASYNC_SUCCESS) return;
    printf("Failed to start connect, return code %d\n", rc);
    Complete(nullptr, [](TMyData& d) { d.MQTTConnected = false; });
    // The shutdown must not run on the library's thread: main runs it once it sees the stop.
    gConnectionAbandoned = true;
    gStop.Ring();
  } catch (...) {
  }
}

// Reconnect thread: after each failed reconnect, waits the current pause and tries again, until the
// bridge shuts down.
int ReconnectThread(void* hInst) {
  TMyData& d = *static_cast<TMyData*>(hInst);
  try {
    for (;;) {
      pollfd fds[2] = {{d.reconnectDue.Fd(), POLLIN, 0}, {d.quit.Fd(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return -1;
      if (d.QuitThread) return 0;
      if (!(fds[0].revents & POLLIN)) continue;
      d.reconnectDue.Drain();
      int nSeconds = d.nRetrySeconds;
      d.nRetrySeconds = std::min(nSeconds * 2, kMaxRetrySeconds);
      Pause(d.quit, nSeconds * 1000);
      if (d.QuitThread) return 0;
      if (d.bShuttingDown) continue;
      d.reconnectDue.Drain();  // only a failure of the attempt below counts from here on
      int rc = StartReconnect(d.client);
      if (rc != MQTTASYNC_SUCCESS) {
        printf("Failed to start connect, return code %d\n", rc);
        d.reconnectDue.Ring();
      }
    }
  } catch (...) {
    return -1;
  }
}

void PublishFrame(TMyData& d, frame::TStatus& status, MQTTAsync_responseOptions& opts,
                  MQTTAsync_message& pubmsg) {
  frame::Decode(d.Recived, &status);
  const std::string report = frame::Report(d.Recived, status);
  fwrite(report.data(), 1, report.size(), stdout);
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, status.nSerial);
  std::string out = frame::Document(status);

  pubmsg.payload = out.data();
  pubmsg.payloadlen = static_cast<int>(out.size());
  pubmsg.qos = 1;
  pubmsg.retained = 0;

  // Clear the flags first and call the library without the lock: the completion may arrive before
  // MQTTAsync_sendMessage has even returned.
  MainLockMutex(d.pMQTTConnectedMutex);
  d.MQTTSent = false;
  d.MQTTSendDone = false;
  MainUnlockMutex(d.pMQTTConnectedMutex);
  d.sendDone.Drain();
  int rc = MQTTAsync_sendMessage(d.client, topic, &pubmsg, &opts);
  if (rc != MQTTASYNC_SUCCESS) {
    printf("Failed to start sendMessage, return code %d\n", rc);
    return;
  }
  printf("Waiting for publication on topic %s for client with ClientID: %s\n", topic, d.serial_no);
  if (WaitForFlag(d.MQTTSendDone, d.sendDone, d.quit.Fd(), -1)) printf("Published\n");
}

// Notices a wheel that has fallen silent, and its return, each with one line.
class SilenceWatch {
 public:
  explicit SilenceWatch(const char* pPortName) : pPortName_(pPortName) {}

  void FrameArrived() {
    if (bSilent_) printf("Frames from %s again\n", pPortName_);
    bSilent_ = false;
    deadline_ = TDeadline(kSilenceSeconds * 1000);
  }
  // How long the next reception may wait before the silence is worth a line; -1 once it is reported.
  int TimeoutMs() const { return bSilent_ ? -1 : deadline_.PollTimeout(); }
  void Report() {
    if (!bSilent_) printf("No frame from %s for %d s; still waiting\n", pPortName_, kSilenceSeconds);
    bSilent_ = true;
  }

 private:
  const char* pPortName_;
  bool bSilent_ = false;
  TDeadline deadline_{kSilenceSeconds * 1000};
};

// One quiet attempt to open the lost device again: a path that is not there yet prints nothing.
bool ReopenPort(TMyData& d) {
  if (access(d.pPortName, F_OK) != 0) return false;
  d.hTrans = transport::Init(d.pPortName, 0);
  return d.hTrans != nullptr;
}

bool QuitRequested(TMyData& d) {
  MainLockMutex(d.pQuitThreadMutex);
  bool bQuit = d.QuitThread;
  MainUnlockMutex(d.pQuitThreadMutex);
  return bQuit;
}

// Releases the record and what it still holds, in the order shutdown needs: no callback can come once
// the client is destroyed. Used by shutdown and by a start-up that fails part way.
void ReleaseRecord(TMyData* pMyData) {
  if (pMyData->pReconnectThread) {
    pMyData->QuitThread = true;
    pMyData->quit.Ring();
    SDL_WaitThread(pMyData->pReconnectThread, nullptr);
  }
  if (pMyData->client) MQTTAsync_destroy(&pMyData->client);
  transport::Destroy(pMyData->hTrans);
  pMyData->hTrans = nullptr;
  if (p == pMyData) p = nullptr;
  if (pMyData->pMQTTConnectedMutex) SDL_DestroyMutex(pMyData->pMQTTConnectedMutex);
  if (pMyData->pQuitThreadMutex) SDL_DestroyMutex(pMyData->pQuitThreadMutex);
  delete pMyData;
}

bool ConnectBroker(TMyData& d) {
  int rc = MQTTAsync_create(&d.client, kServerUri, d.serial_no, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    printf("Failed to create client object, return code %d\n", rc);
    d.client = nullptr;
    return false;
  }
  rc = MQTTAsync_setCallbacks(d.client, d.client, connlost, messageArrived, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    printf("Failed to set callback, return code %d\n", rc);
    return false;
  }
  d.MQTTConnected = false;
  d.MQTTThreadDone = false;
  d.pMQTTConnectedMutex = SDL_CreateMutex();
  if (d.pMQTTConnectedMutex == nullptr) {
    printf("Failed to create mutex: %s\n", SDL_GetError());
    return false;
  }
  p = &d;

  MQTTAsync_connectOptions conn_opts = MQTTAsync_connectOptions_initializer;
  conn_opts.keepAliveInterval = kKeepAliveSeconds;
  conn_opts.cleansession = 1;
  conn_opts.onSuccess = onConnect;
  conn_opts.onFailure = onConnectFailure;
  conn_opts.context = d.client;
  rc = MQTTAsync_connect(d.client, &conn_opts);
  if (rc != MQTTASYNC_SUCCESS) {
    printf("Failed to start connect, return code %d\n", rc);
    return false;
  }
  // The library gives up on a connect after its 30 s time-out, so this wait ends; a stop request
  // ends it sooner.
  if (!WaitForFlag(d.MQTTThreadDone, d.mainDone, gStop.Fd(), -1)) return false;
  d.MQTTThreadDone = false;
  MainLockMutex(d.pMQTTConnectedMutex);
  bool bConnected = d.MQTTConnected;
  MainUnlockMutex(d.pMQTTConnectedMutex);
  if (!bConnected) {
    printf("MQTT not connected\n");
    return false;
  }
  printf("MQTT connected\n");
  return true;
}

bool StartWorker(TMyData& d) {
  d.QuitThread = false;
  d.pQuitThreadMutex = SDL_CreateMutex();
  if (d.pQuitThreadMutex == nullptr) {
    printf("Failed to create mutex: %s\n", SDL_GetError());
    return false;
  }
  d.pReconnectThread = SDL_CreateThread(ReconnectThread, "kestrinreconnect", &d);
  if (d.pReconnectThread != nullptr) d.pSAThread = SDL_CreateThread(MainInThread, "kestrincontrol", &d);
  if (d.pSAThread == nullptr) {
    printf("Failed to start thread kestrincontrol: %s\n", SDL_GetError());
    return false;
  }
  return true;
}

}  // namespace

TDoorbell::TDoorbell() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TDoorbell::~TDoorbell() {
  if (fd_ >= 0) close(fd_);
}

void TDoorbell::Ring() const noexcept {
  const std::uint64_t one = 1;
  ssize_t ignored = write(fd_, &one, sizeof one);
  (void)ignored;
}

void TDoorbell::Drain() const noexcept {
  std::uint64_t count;
  ssize_t ignored = read(fd_, &count, sizeof count);
  (void)ignored;
}

ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd) noexcept {
  char name[100];
  std::snprintf(name, sizeof name, "%s", Device);
  ThKestrinTrans hTrans = transport::Init(name, 0);
  if (hTrans == nullptr) return nullptr;
  transport::ReciveMsgWithin(hTrans, pRecived, pRecivedLength, nTimeoutMs, nWakeFd);
  if (*pRecivedLength == transport::kFrameLength) return hTrans;
  transport::Destroy(hTrans);
  return nullptr;
}

ThKestrinTrans FindPort(const char* const* ppPorts, int nPorts, int nProbeMs, unsigned char* pRecived,
                        unsigned short* pRecivedLength, int nWakeFd, char* pFound) noexcept {
  for (int i = 0; i < nPorts; ++i) {
    if (nWakeFd >= 0) {
      pollfd fd = {nWakeFd, POLLIN, 0};
      if (poll(&fd, 1, 0) > 0) return nullptr;
    }
    ThKestrinTrans hTrans = ProbePort(ppPorts[i], nProbeMs, pRecived, pRecivedLength, nWakeFd);
    if (hTrans != nullptr) {
      std::snprintf(pFound, 100, "%s", ppPorts[i]);
      return hTrans;
    }
  }
  return nullptr;
}

ThKestrinControl Init(TInitData* pInitData) noexcept {
  if (pInitData == nullptr) return nullptr;
  TMyData* pMyData = nullptr;
  try {
    pMyData = new TMyData;
    if (!pMyData->mainDone.Valid() || !pMyData->sendDone.Valid() || !pMyData->quit.Valid() ||
        !pMyData->reconnectDue.Valid()) {
      perror("eventfd");
      delete pMyData;
      return nullptr;
    }
    std::memcpy(pMyData->pSerialFileName, pInitData->pSerialFileName, sizeof pMyData->pSerialFileName);
    pMyData->pSerialFileName[sizeof pMyData->pSerialFileName - 1] = '\0';
    pMyData->hTrans = nullptr;

    const char* pName = pMyData->pSerialFileName;
    if (std::strcmp(pName, "AUTO") == 0 || std::strcmp(pName, "auto") == 0) {
      pMyData->hTrans = FindPort(ports_to_try, kPortsToTry, kDiscoveryProbeMs, pMyData->Recived,
                                 &pMyData->RecivedLength, gStop.Fd(), pMyData->pPortName);
    } else {
      // The wheel may be powered after the bridge: wait for its first frame as long as it takes.
      pMyData->hTrans = ProbePort(pName, -1, pMyData->Recived, &pMyData->RecivedLength, gStop.Fd());
      std::memcpy(pMyData->pPortName, pName, sizeof pMyData->pPortName);
    }
    if (pMyData->hTrans == nullptr || gStopRequested) {
      ReleaseRecord(pMyData);
      return nullptr;
    }
    std::memcpy(pMyData->serial_no, pMyData->Recived + 4, 4);
    pMyData->serial_no[4] = '\0';
    pMyData->bStartFramePending = true;

    if (!ConnectBroker(*pMyData) || !StartWorker(*pMyData)) {
      ReleaseRecord(pMyData);
      return nullptr;
    }
    return pMyData;
  } catch (...) {
    if (pMyData) ReleaseRecord(pMyData);
    return nullptr;
  }
}

int MainInThread(void* hInst) {
  if (hInst == nullptr) return -1;
  TMyData& d = *static_cast<TMyData*>(hInst);
  try {
    frame::TStatus status;  // decoded fields carry over from frame to frame
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = onSend;
    opts.onFailure = onSendFailure;
    opts.context = d.client;
    MQTTAsync_message pubmsg = MQTTAsync_message_initializer;
    SilenceWatch silence(d.pPortName);

    for (;;) {
      if (QuitRequested(d)) return 0;
      if (d.hTrans == nullptr) {
        if (!ReopenPort(d)) Pause(d.quit, kReopenPauseMs);
        continue;
      }
      if (d.bStartFramePending) {
        d.bStartFramePending = false;  // Recived still holds the frame that accepted the port
      } else {
        int rc = transport::ReciveMsgWithin(d.hTrans, d.Recived, &d.RecivedLength, silence.TimeoutMs(),
                                            d.quit.Fd());
        if (rc == transport::kTimedOut) {
          silence.Report();
          continue;
        }
        if (rc == transport::kSearchFailed || rc == transport::kFrameFailed) {
          printf("Serial device %s lost; reopening it\n", d.pPortName);
          transport::Destroy(d.hTrans);
          d.hTrans = nullptr;
          continue;
        }
      }
      if (d.RecivedLength == transport::kFrameLength) {
        silence.FrameArrived();
        PublishFrame(d, status, opts, pubmsg);
      }
      Pause(d.quit, kPassPauseMs);
    }
  } catch (...) {
    return -1;
  }
}

void Destroy(ThKestrinControl hInst) noexcept {
  if (hInst == nullptr) return;
  TMyData* pMyData = static_cast<TMyData*>(hInst);
  try {
    pMyData->bShuttingDown = true;
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.onSuccess = onDisconnect;
    opts.onFailure = onDisconnectFailure;
    opts.context = pMyData->client;

    MainLockMutex(pMyData->pMQTTConnectedMutex);
    pMyData->MQTTThreadDone = false;
    MainUnlockMutex(pMyData->pMQTTConnectedMutex);
    pMyData->mainDone.Drain();
    int rc = MQTTAsync_disconnect(pMyData->client, &opts);
    if (rc != MQTTASYNC_SUCCESS) {
      printf("Failed to start disconnect, return code %d\n", rc);
    } else {
      WaitForFlag(pMyData->MQTTThreadDone, pMyData->mainDone, -1, kDisconnectWaitMs);
      pMyData->MQTTThreadDone = false;
      printf("Disconnected\n");
    }

    printf("kestrin_control: Waiting for thread to finish.\n");
    MainLockMutex(pMyData->pQuitThreadMutex);
    pMyData->QuitThread = true;
    MainUnlockMutex(pMyData->pQuitThreadMutex);
    pMyData->quit.Ring();  // cuts short a pending reception, publish wait or pause
    SDL_WaitThread(pMyData->pSAThread, nullptr);
    pMyData->pSAThread = nullptr;
    SDL_WaitThread(pMyData->pReconnectThread, nullptr);
    pMyData->pReconnectThread = nullptr;
    SDL_DestroyMutex(pMyData->pQuitThreadMutex);
    pMyData->pQuitThreadMutex = nullptr;
    printf("kestrin_control: Thread terminated.\n");

    ReleaseRecord(pMyData);
  } catch (...) {
  }
}

void RequestStop() noexcept {
  gStopRequested = true;
  gStop.Ring();
}

int StopDescriptor() noexcept { return gStop.Fd(); }

bool ConnectionAbandoned() noexcept { return gConnectionAbandoned; }

}  // namespace control
