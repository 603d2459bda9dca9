// The control layer's record and the functions its files share; only the control layer and its tests
// see it. kestrin_control.cpp holds start-up, discovery and shutdown, kestrin_worker.cpp the publishing
// worker. The broker connection is a module of its own (kestrin_broker.h), reached through hBroker.
#pragma once

#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "kestrin_broker.h"
#include "kestrin_control.h"
#include "kestrin_deadline.h"
#include "kestrin_process.h"
#include "kestrin_transport.h"

namespace control {

struct TMyData {
  ThKestrinTrans hTrans = nullptr;
  ThKestrinBroker hBroker = nullptr;
  unsigned char Recived[100] = {};  // bytes 0..41 hold the last frame
  unsigned short RecivedLength = 0;
  void* hSerial = nullptr;  // reserved
  SDL_Thread* pSAThread = nullptr;
  // Set under pQuitThreadMutex; atomic so that the worker's loop may read it without the lock.
  std::atomic<bool> QuitThread{false};
  SDL_mutex* pQuitThreadMutex = nullptr;
  char pSerialFileName[100] = {};

  char serial_no[5] = {};    // client identifier: the wheel serial characters of the first frame
  char pPortName[100] = {};  // the device actually opened (the one discovery found)
  bool bStartFramePending = false;  // the frame that accepted the port is still to be published
  TDoorbell quit;      // rung when QuitThread is set

  std::atomic<bool> bPublishIdle{true};       // no publication is being waited for
  std::atomic<bool> bStopPublishing{false};   // shutdown has begun: no new publication
  TDoorbell publishIdle;                      // rung when bPublishIdle is set
  // The shutdown's drain (kestrin_bridged): the worker publishes what waits without pausing, and says
  // when it has done what it can.
  std::atomic<bool> bDraining{false};
  std::atomic<bool> bDrained{false};
  TDoorbell drain;                            // rung with bDraining, for the worker
  TDoorbell drained;                          // rung with bDrained, for the main thread
  int nFramesLeft = 0;                        // the worker's frame taken and not published; read after it ended
};

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

// Mutex wrappers for the worker and the main thread.
inline void MainLockMutex(SDL_mutex* pMutex) { SDL_LockMutex(pMutex); }
inline void MainUnlockMutex(SDL_mutex* pMutex) { SDL_UnlockMutex(pMutex); }

// Tells the supervisor's handler, if one is set.
void Notify(int nEvent) noexcept;

// Publishing worker (kestrin_worker.cpp).
// Prints the report of a frame that is not well formed, decoded on its own, and the line saying it is
// not published. Discovery's probes use it too.
void ReportMalformed(const unsigned char* pFrame);
bool StartWorker(TMyData& d);
int MainInThread(void* hInst);

}  // namespace control
