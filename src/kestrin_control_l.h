// The control layer's record and the functions its files share; only the control layer and its tests
// see it. kestrin_control.cpp holds start-up, discovery and shutdown, kestrin_broker.cpp the broker
// connection and its callbacks, kestrin_worker.cpp the publishing worker.
#pragma once

#include <MQTTAsync.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "kestrin_control.h"
#include "kestrin_deadline.h"
#include "kestrin_process.h"
#include "kestrin_transport.h"

namespace control {

using process::TDoorbell;

// One publish in flight (kestrin_broker.cpp).
struct TPublication;

struct TMyData {
  ThKestrinTrans hTrans = nullptr;
  unsigned char Recived[100] = {};  // bytes 0..41 hold the last frame
  unsigned short RecivedLength = 0;
  void* hSerial = nullptr;  // reserved
  SDL_Thread* pSAThread = nullptr;
  bool MQTTSent = false;       // guarded by pMQTTConnectedMutex
  bool MQTTConnected = false;  // guarded by pMQTTConnectedMutex
  int nConnectFailure = 0;     // code of the last failed connect; guarded by pMQTTConnectedMutex
  // Completion of the connect or disconnect that the main thread waits for; set under
  // pMQTTConnectedMutex by the callbacks.
  std::atomic<bool> MQTTThreadDone{false};
  // Set under pQuitThreadMutex; atomic so that the worker's waits may read it without the lock.
  std::atomic<bool> QuitThread{false};
  SDL_mutex* pMQTTConnectedMutex = nullptr;
  SDL_mutex* pQuitThreadMutex = nullptr;
  MQTTAsync client = nullptr;
  char pSerialFileName[100] = {};

  char serial_no[5] = {};    // client identifier: the wheel serial characters of the first frame
  char pPortName[100] = {};  // the device actually opened (the one discovery found)
  bool bStartFramePending = false;  // the frame that accepted the port is still to be published
  // Publications whose outcome has not arrived; guarded by pMQTTConnectedMutex.
  std::list<std::shared_ptr<TPublication>> publications;
  std::atomic<bool> bConnectionLost{false};  // lost and not yet back
  TDoorbell mainDone;  // rung with MQTTThreadDone
  TDoorbell sendDone;  // rung when a publication completes
  TDoorbell quit;      // rung when QuitThread is set

  std::uint64_t nLastPublication = 0;         // the worker's last publication id
  // The publication the worker waits for, until it has read the outcome; guarded by pMQTTConnectedMutex.
  std::shared_ptr<TPublication> pAwaited;
  std::atomic<int> nLateFailures{0};          // publications given up on that failed since last asked
  TDoorbell connectionBack;                   // rung when a reconnect succeeds
  // The shutdown's drain (kestrin_bridged): the worker publishes what waits without pausing, and says
  // when it has done what it can.
  std::atomic<bool> bDraining{false};
  std::atomic<bool> bDrained{false};
  TDoorbell drain;                            // rung with bDraining, for the worker
  TDoorbell drained;                          // rung with bDrained, for the main thread
  int nFramesLeft = 0;                        // the worker's frame taken and not published; read after it ended
  std::atomic<bool> bPublishIdle{true};       // no publication is being waited for
  std::atomic<bool> bStopPublishing{false};   // shutdown has begun: no new publication
  TDoorbell publishIdle;                      // rung when bPublishIdle is set
  // Reconnecting (kestrin_broker.cpp): one attempt at a time, from a thread of its own.
  int nMqttVersion = 0;                       // the version the broker accepted at start-up
  SDL_Thread* pReconnectThread = nullptr;
  std::atomic<bool> bStopReconnect{false};    // shutdown has begun: no new attempt
  std::atomic<int> nAttempt{0};               // the attempt in flight; older callbacks are stale
  std::atomic<bool> bAttemptDone{false};
  std::atomic<int> nAttemptCode{0};           // its failure code; 0: connected
  TDoorbell reconnect;                        // rung by a loss and at stop
  TDoorbell attemptDone;                      // rung with bAttemptDone
  TDoorbell stopReconnect;                    // rung with bStopReconnect
};

// The one control record; the client library's callbacks reach it only through this pointer.
extern TMyData* p;

// Candidate devices for discovery, in the order they are tried.
extern const char* const ports_to_try[10];
constexpr int kPortsToTry = 10;
// How long discovery waits for a frame on a candidate that opened.
constexpr int kDiscoveryProbeMs = 3000;
// How much longer a probe waits, once, for a frame begun when its time runs out. The frame itself takes
// 23 ms at 19200 baud and a USB adapter may hold bytes for its 16 ms latency timer.
constexpr int kFrameInTransitMs = 1000;

// Opens Device and waits up to nTimeoutMs (negative: no limit) for a well-formed frame, which lands in
// pRecived; a frame begun when the time runs out may finish (kFrameInTransitMs). Malformed frames read
// meanwhile are reported and skipped. Returns the open link when a well-formed frame came, else null
// with the device closed again and *pRecivedLength 0.
ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd) noexcept;

// Probes ppPorts in order, each for at most nProbeMs, and returns the link of the first that delivers a
// well-formed frame; its name is copied to pFound (100 bytes). Null when none did or nWakeFd became readable.
ThKestrinTrans FindPort(const char* const* ppPorts, int nPorts, int nProbeMs, unsigned char* pRecived,
                        unsigned short* pRecivedLength, int nWakeFd, char* pFound) noexcept;

// Mutex wrappers: the callbacks use the first pair, the worker and the main thread the second.
inline void LockMutex(SDL_mutex* pMutex) { SDL_LockMutex(pMutex); }
inline void UnlockMutex(SDL_mutex* pMutex) { SDL_UnlockMutex(pMutex); }
inline void MainLockMutex(SDL_mutex* pMutex) { SDL_LockMutex(pMutex); }
inline void MainUnlockMutex(SDL_mutex* pMutex) { SDL_UnlockMutex(pMutex); }

// Tells the supervisor's handler, if one is set.
void Notify(int nEvent) noexcept;

// Broker connection (kestrin_broker.cpp).
// A descriptor a wait serves beside its own: fd() names it (negative: none now), ready() runs when it
// is ready.
struct TServe {
  std::function<int()> fd;
  std::function<void()> ready;
};
// Creates the client under serial_no and connects it; nStopFd ends the wait, serve is served meanwhile
// (start-up keeps the serial device drained). False when it failed; the reason has been printed.
bool ConnectBroker(TMyData& d, int nStopFd, const TServe& serve);
// Starts the thread that reconnects after a loss. False when it could not be started.
bool StartReconnecting(TMyData& d);
// Stops reconnecting before shutdown: no attempt starts after this returns.
void StopReconnecting(TMyData& d);
// Waits, at most nTimeoutMs, for the outcome of the publication the worker waits for.
void WaitForPublication(TMyData& d, int nTimeoutMs);
// False while the connection is lost and not yet back; connectionBack rings when it is.
bool BrokerConnected(const TMyData& d);
// Starts publishing document out on topic with QoS 1 and returns at once: the id of the publication, or
// 0 when the library refused to start it, its code in *pRc (MQTTASYNC_DISCONNECTED: not connected).
// The outcome comes on a library thread, which rings sendDone.
std::uint64_t StartPublication(TMyData& d, const char* pTopic, std::string out, int* pRc);
constexpr int kPublicationPending = 0;
constexpr int kPublicationConfirmed = 1;
constexpr int kPublicationFailed = 2;
// The outcome of the publication last started, once; kPublicationPending until it has come.
int PublicationOutcome(TMyData& d);
// Stops waiting for the publication last started; a late outcome is still told. Returns how many
// publications given up on still lack their outcome (the last 100 are remembered).
int GiveUpPublication(TMyData& d);
// How many publications given up on have failed since the last call.
int TakeLateFailures(TMyData& d);
// Disconnects and waits, bounded, for the outcome, with the shutdown's lines.
void DisconnectBroker(TMyData& d);

// The broker account set by SetCredentials (kestrin_credentials.cpp); "" for none.
const char* CredentialUser() noexcept;
const char* CredentialPassword() noexcept;

// Publishing worker (kestrin_worker.cpp).
// Prints the report of a frame that is not well formed, decoded on its own, and the line saying it is
// not published. Discovery's probes use it too.
void ReportMalformed(const unsigned char* pFrame);
bool StartWorker(TMyData& d);
int MainInThread(void* hInst);

}  // namespace control
