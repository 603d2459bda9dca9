// The bridge: finds the wheel's serial port, connects to the broker and runs the publishing worker.
#pragma once

#include <string>

typedef void* ThKestrinControl;

// Start-up record built by main from the command line.
struct TInitData {
  char pSerialFileName[100];  // a device path, or "AUTO" / "auto" for port discovery
};

namespace control {

// Starts the bridge. Null when no port delivered a frame, the broker could not be reached or a stop
// was requested during start-up; the reasons have been printed.
ThKestrinControl Init(TInitData* pInitData) noexcept;

// Publishes the frames that wait, without the pause between them, for at most nTimeoutMs: until none
// waits, the broker is away or a publication is not confirmed in time. For a stop that should lose
// as little as it can (the service entry); Destroy follows.
void Drain(ThKestrinControl hInst, int nTimeoutMs) noexcept;

// Disconnects, stops the worker, restores the serial port and releases everything. Null does nothing.
void Destroy(ThKestrinControl hInst) noexcept;

// What the running bridge tells a supervisor (the service entry) through the handler below.
constexpr int kEventFramePublished = 1;  // the broker confirmed a frame's document
constexpr int kEventFrameDropped = 2;    // a frame was not published: refused, failed or malformed
constexpr int kEventConnectionLost = 3;  // the broker connection dropped; reconnecting
constexpr int kEventConnectionBack = 4;  // reconnected
constexpr int kEventWheelSilent = 5;     // no frame for 30 s
constexpr int kEventFramesAgain = 6;     // frames flow again after a silence
constexpr int kEventWorkerEnded = 7;     // the worker ended on its own: the bridge no longer publishes
constexpr int kEventHealthChanged = 8;   // something health::Snapshot() tells has changed (kestrin_health.h)
constexpr int kEventConnecting = 9;      // the start-up connect begins; told on the thread that called Init

// Runs on the bridge's and the client library's threads: it must return at once, never block.
typedef void (*TEventHandler)(int nEvent);

// Sets the handler before Init; null: none.
void SetEventHandler(TEventHandler pHandler) noexcept;

// The client identifier: the wheel's four serial characters from its first frame. "" for null.
const char* ClientId(ThKestrinControl hInst) noexcept;

// A last will for every connect, reconnects included, which the broker publishes with QoS 1, retained,
// when the connection ends without a disconnect. The maker gives its topic and payload from the client
// identifier and the device; it runs on the thread that connects. Set before Init; null: no will.
typedef void (*TWillMaker)(const char* pClientId, const char* pDevice, std::string* pTopic,
                           std::string* pPayload);
void SetWillMaker(TWillMaker pMaker) noexcept;

// Publishes payload on pTopic with QoS 1, retained, beside the documents and counted as none of them;
// with nWaitMs > 0 waits that long at most for the broker's confirmation. 0: handed to the client
// library (and confirmed, when waited for); -1: not connected, or the library refused it; -2: not
// confirmed in time.
int PublishRetained(ThKestrinControl hInst, const char* pTopic, const std::string& payload,
                    int nWaitMs) noexcept;

// The broker the bridge publishes to, "tcp://HOST:1883".
const char* BrokerUri() noexcept;

// After Init returned null: why, in a few words ("" while no start-up has failed).
const char* StartFailure() noexcept;

// After Init returned null: the broker's refusal of the connection (CONNACK 4: bad user name or
// password, 5: not authorised), 0 when it failed otherwise.
int StartRefusal() noexcept;

// The broker account that every connect, reconnects included, carries; set before Init. A null or
// empty user connects without one, as an open broker expects.
void SetCredentials(const char* pUser, const char* pPassword) noexcept;

// Reads the account from the first line of the regular file pPath, "USER:PASSWORD", and sets it as
// above; never blocks. 0: done; -1: the file cannot be opened (errno says why); -2: it is no regular
// file or holds no such line that MQTT can carry. CredentialsFailure() then says why, in a few words.
int ReadCredentials(const char* pPath) noexcept;
const char* CredentialsFailure() noexcept;

}  // namespace control
