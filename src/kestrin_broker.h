// The broker connection: the MQTT session and its callbacks (kestrin_broker.cpp), the publications in
// flight (kestrin_broker_inflight.cpp) and the reconnect after a loss (kestrin_broker_reconnect.cpp).
// It knows nothing of the serial device, of frames or of who publishes. A publication is started and
// returns at once; its outcome, and the broker's return after a loss, ring Events(), which the
// publisher waits on beside its own descriptors. The connection's state goes to health
// (kestrin_health.h), the one channel that the programs and the status topic read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrin_doorbell.h"

typedef void* ThKestrinBroker;

namespace broker {

// The protocol spoken: MQTT 3.1.1 (3.1 for a broker that refuses it), or MQTT 5, which carries the
// documents' user properties.
constexpr int kMqtt311 = 4;
constexpr int kMqtt5 = 5;

// Creates the client under pClientId, logging in with pUser / pPassword (an empty user: no account),
// speaking nVersion. Null when the client could not be made; the reason has been printed.
ThKestrinBroker Init(const char* pClientId, const char* pUser, const char* pPassword,
                     int nVersion = kMqtt311) noexcept;

// Destroys the client (no callback comes after this) and releases everything. Null does nothing.
void Destroy(ThKestrinBroker hInst) noexcept;

// A last will for every connect, reconnects included: the broker publishes payload on pTopic with QoS 1,
// retained, when the connection ends without a disconnect. Set before Connect.
void SetWill(ThKestrinBroker hInst, const char* pTopic, const std::string& payload) noexcept;

// Connects with the start-up's lines; nStopFd ends the wait. False when it failed: ConnectFailure() is
// the broker's refusal code (CONNACK, MQTT 5's reason codes given as 3.1.1's), else 0.
bool Connect(ThKestrinBroker hInst, int nStopFd) noexcept;
int ConnectFailure(ThKestrinBroker hInst) noexcept;

// Reconnecting after a loss, one attempt at a time, from a thread of its own; stopped before shutdown
// disconnects: no attempt starts after StopReconnecting returns.
bool StartReconnecting(ThKestrinBroker hInst) noexcept;
void StopReconnecting(ThKestrinBroker hInst) noexcept;

// False while the connection is lost and not yet back.
bool Connected(ThKestrinBroker hInst) noexcept;
// Rung when an outcome comes (TakeOutcomes) and when the connection is back.
const TDoorbell* Events(ThKestrinBroker hInst) noexcept;

// StartPublication's code for a connection that is lost (the library's MQTTASYNC_DISCONNECTED).
constexpr int kNotConnected = -3;

// Starts publishing payload on pTopic with QoS 1, not retained, and returns at once: the publication's
// id, or 0 when the library refused to start it, its code in *pRc (kNotConnected: not
// connected). The library copies topic and payload.
// With MQTT 5 the nProperties user properties of pProperties go with it (the library copies them).
struct TUserProperty {
  const char* pName;
  const char* pValue;
};
constexpr int kMaxUserProperties = 8;  // more: the publication is refused (MQTTASYNC_FAILURE)
std::uint64_t StartPublication(ThKestrinBroker hInst, const char* pTopic, const std::string& payload,
                               int* pRc, const TUserProperty* pProperties = nullptr,
                               int nProperties = 0) noexcept;
struct TOutcome {
  std::uint64_t nId = 0;
  bool bDelivered = false;  // the broker confirmed it; else it failed (a publication of a session that
                            // was lost fails at the latest when the connection is back)
};
// Appends the outcomes that came since the last call, in the order they came.
void TakeOutcomes(ThKestrinBroker hInst, std::vector<TOutcome>* pOutcomes) noexcept;
// The publisher no longer waits for publication nId: its failure is not told as the awaited one's.
void GiveUp(ThKestrinBroker hInst, std::uint64_t nId) noexcept;
// Nor does it want its outcome any more.
void Forget(ThKestrinBroker hInst, std::uint64_t nId) noexcept;

// Publishes payload on pTopic with QoS 1, retained, beside the publications above and counted as none
// of them; with nWaitMs > 0 waits that long at most for the broker's confirmation. 0: handed to the
// library (and confirmed, when waited for); -1: not connected, or refused; -2: not confirmed in time.
int PublishRetained(ThKestrinBroker hInst, const char* pTopic, const std::string& payload,
                    int nWaitMs) noexcept;

// Subscribes to pTopic with QoS 1, now and after every reconnect (sessions are clean); each message
// that arrives on it goes to pOnMessage on a library thread, which must return at once. Waits at most
// nWaitMs for the broker's answer (nStopFd ends it sooner); false when it refused or did not answer,
// and the subscription is still made again at the next reconnect. One subscription per client.
typedef void (*TMessageHandler)(void* pContext, const char* pPayload, int nLength);
bool Subscribe(ThKestrinBroker hInst, const char* pTopic, TMessageHandler pOnMessage, void* pContext,
               int nWaitMs, int nStopFd) noexcept;

// Disconnects and waits, bounded, for the outcome, with the shutdown's lines.
void Disconnect(ThKestrinBroker hInst) noexcept;

// "tcp://HOST:1883".
const char* Uri() noexcept;

}  // namespace broker
