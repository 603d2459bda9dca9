// The broker connection: the MQTT client, its callbacks, reconnecting after a loss, publications and the
// disconnect. It knows nothing of the serial device or of who publishes: a publication is started and
// returns at once, and its outcome rings a doorbell (Completion()) that the publisher waits on beside
// its own descriptors; the broker's return after a loss rings another (Return()).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kestrin_doorbell.h"

typedef void* ThKestrinBroker;

namespace broker {

// Creates the client under pClientId, logging in with pUser / pPassword (an empty user: no account).
// pNotify gets the control layer's events (kestrin_control.h) on the library's threads. Null when the
// client could not be made; the reason has been printed.
ThKestrinBroker Init(const char* pClientId, const char* pUser, const char* pPassword,
                     void (*pNotify)(int)) noexcept;

// Connects, MQTT 3.1.1 (3.1 for a broker that refuses it), with the start-up's lines; nStopFd ends the
// wait, serve is served meanwhile. False when it failed: ConnectFailure() is the broker's refusal code.
bool Connect(ThKestrinBroker hInst, int nStopFd, const TServe& serve) noexcept;
int ConnectFailure(ThKestrinBroker hInst) noexcept;

// Reconnecting after a loss, one attempt at a time, from a thread of its own; stopped before shutdown
// disconnects: no attempt starts after StopReconnecting returns.
bool StartReconnecting(ThKestrinBroker hInst) noexcept;
void StopReconnecting(ThKestrinBroker hInst) noexcept;

// False while the connection is lost and not yet back; Return() rings when it is.
bool Connected(ThKestrinBroker hInst) noexcept;
const TDoorbell* Return(ThKestrinBroker hInst) noexcept;
// Rung when a publication's outcome comes.
const TDoorbell* Completion(ThKestrinBroker hInst) noexcept;

// Starts publishing document out on pTopic with QoS 1 and returns at once: the id of the publication,
// or 0 when the library refused to start it, its code in *pRc (MQTTASYNC_DISCONNECTED: not connected).
std::uint64_t StartPublication(ThKestrinBroker hInst, const char* pTopic, std::string out, int* pRc) noexcept;
constexpr int kPending = 0;
constexpr int kConfirmed = 1;
constexpr int kFailed = 2;
// The outcome of the publication last started, once; kPending until it has come.
int PublicationOutcome(ThKestrinBroker hInst) noexcept;
// Stops waiting for the publication last started; a late outcome is still told. Returns how many
// publications given up on still lack their outcome (the last 100 are remembered).
int GiveUpPublication(ThKestrinBroker hInst) noexcept;
// How many publications given up on have failed since the last call.
int TakeLateFailures(ThKestrinBroker hInst) noexcept;

// A last will for every connect, reconnects included: the broker publishes payload on pTopic with QoS 1,
// retained, when the connection ends without a disconnect. Set before Connect.
void SetWill(ThKestrinBroker hInst, const char* pTopic, const std::string& payload) noexcept;

// Publishes payload on pTopic with QoS 1, retained, beside the publications above and counted as none
// of them; with nWaitMs > 0 waits that long at most for the broker's confirmation. 0: handed to the
// library (and confirmed, when waited for); -1: not connected, or refused; -2: not confirmed in time.
int PublishRetained(ThKestrinBroker hInst, const char* pTopic, const std::string& payload,
                    int nWaitMs) noexcept;

// Disconnects and waits, bounded, for the outcome, with the shutdown's lines.
void Disconnect(ThKestrinBroker hInst) noexcept;

// Destroys the client (no callback comes after this) and releases everything. Null does nothing.
void Destroy(ThKestrinBroker hInst) noexcept;

// "tcp://HOST:1883".
const char* Uri() noexcept;

}  // namespace broker
