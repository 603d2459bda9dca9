// The control layer's record; only the control layer and its tests see it.
#pragma once

#include <MQTTAsync.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>

#include "kestrin_control.h"
#include "kestrin_transport.h"

namespace control {

// An eventfd used as a doorbell: Ring() makes it readable until Drain(). The flags it accompanies stay
// the truth; the doorbell only lets a waiter block in poll() instead of spinning on them.
class TDoorbell {
 public:
  TDoorbell();
  ~TDoorbell();
  TDoorbell(const TDoorbell&) = delete;
  TDoorbell& operator=(const TDoorbell&) = delete;
  int Fd() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Ring() const noexcept;
  void Drain() const noexcept;

 private:
  int fd_;
};

struct TMyData {
  ThKestrinTrans hTrans = nullptr;
  unsigned char Recived[100] = {};  // bytes 0..41 hold the last frame
  unsigned short RecivedLength = 0;
  void* hSerial = nullptr;  // reserved
  SDL_Thread* pSAThread = nullptr;
  bool MQTTSent = false;       // guarded by pMQTTConnectedMutex
  bool MQTTConnected = false;  // guarded by pMQTTConnectedMutex
  // Completion of the connect or disconnect that the main thread waits for; set under
  // pMQTTConnectedMutex by the callbacks.
  std::atomic<bool> MQTTThreadDone{false};
  // Set under pQuitThreadMutex; atomic so that the worker's publish wait may read it without the lock.
  std::atomic<bool> QuitThread{false};
  SDL_mutex* pMQTTConnectedMutex = nullptr;
  SDL_mutex* pQuitThreadMutex = nullptr;
  MQTTAsync client = nullptr;
  char pSerialFileName[100] = {};

  char serial_no[5] = {};   // client identifier: the wheel serial characters of the first frame
  char pPortName[100] = {};  // the device actually opened (the one discovery found)
  // Completion of the worker's publish, kept apart from MQTTThreadDone so that a disconnect and a
  // publish in flight never take each other's completion.
  std::atomic<bool> MQTTSendDone{false};
  bool bStartFramePending = false;  // the frame that accepted the port is still to be published
  TDoorbell mainDone;   // rung with MQTTThreadDone
  TDoorbell sendDone;   // rung with MQTTSendDone
  TDoorbell quit;       // rung when QuitThread is set
  // Reconnects after a lost connection whose first re-attempt failed (see ReconnectThread).
  SDL_Thread* pReconnectThread = nullptr;
  TDoorbell reconnectDue;
  std::atomic<int> nRetrySeconds{1};  // pause before the next re-attempt
  std::atomic<bool> bShuttingDown{false};  // no re-attempt once the shutdown has begun
};

// The one control record; the client library's callbacks reach it only through this pointer.
extern TMyData* p;

// Candidate devices for discovery, in the order they are tried.
extern const char* const ports_to_try[10];
constexpr int kPortsToTry = 10;
// How long discovery waits for a frame on a candidate that opened.
constexpr int kDiscoveryProbeMs = 3000;

// Opens Device and waits up to nTimeoutMs (negative: no limit) for a whole frame, which lands in
// pRecived. Returns the open link when a frame came, else null with the device closed again.
ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd) noexcept;

// Probes ppPorts in order, each for at most nProbeMs, and returns the link of the first that delivers a
// frame; its name is copied to pFound (100 bytes). Null when none did or nWakeFd became readable.
ThKestrinTrans FindPort(const char* const* ppPorts, int nPorts, int nProbeMs, unsigned char* pRecived,
                        unsigned short* pRecivedLength, int nWakeFd, char* pFound) noexcept;

int MainInThread(void* hInst);

}  // namespace control
