// Reconnecting is the bridge's own: after a loss, a thread of its own starts one connect at a time and
// waits for its outcome, at once and then after a short pause that grows to kMaxRetryMs, and stops
// before shutdown disconnects. The library's automatic reconnect came back 2 to 5 s after a broker
// restart and waited its 30 s connect time-out on a broker that accepted TCP and said nothing. A
// connect started from connlost itself raced the library's own handling of the loss (the stale outcome
// of the lost connection reached the new attempt), so attempts are started only from that thread.
#include <MQTTAsync.h>

#include <algorithm>
#include <iterator>

#include "kestrin_broker.h"
#include "kestrin_broker_l.h"
#include "kestrin_console.h"
#include "kestrin_deadline.h"
#include "kestrin_health.h"

namespace broker {
namespace {

// A broker on the same box comes back within a second of a restart; a longer pause only adds to the
// frames held meanwhile, and an attempt on a broker that is down costs a refused TCP connect. The
// library itself sends the CONNECT about 1 s after the TCP connection is made (its threads' poll
// interval), so publishing resumes about 1.1 to 1.6 s after the broker is back. A broker that answers
// with a refusal is asked less often.
constexpr int kFirstRetryMs = 100;
constexpr int kMaxRetryMs = 500;
constexpr int kRefusedRetryMs = 2000;
// A reconnect attempt that gets no answer is given up after its time-out, so a broker that accepts TCP
// and says nothing holds up no later attempt for long; but a broker that is only slow to answer (8 s and
// more) must be waited for long enough. So the time-out starts short and doubles after each attempt
// that timed out, up to the last, and starts short again after a success. An attempt refused at once
// (the broker restarting) does not lengthen it.
constexpr int kConnectTimeoutsSeconds[] = {3, 6, 12, 24};

int AttemptOf(void* context) { return static_cast<int>(NumberOf(context)); }

// The outcome of a reconnect attempt; one of an earlier attempt is stale and changes nothing.
void AttemptDone(void* context, int nCode) {
  TBroker* pMyData = gBroker;
  if (pMyData == nullptr || AttemptOf(context) != pMyData->nAttempt) return;
  pMyData->nAttemptCode = nCode;
  pMyData->bAttemptDone = true;
  pMyData->reconnect.Ring();
}

void onReconnect(void* context, MQTTAsync_successData*) {
  try {
    TBroker* pMyData = gBroker;
    if (pMyData == nullptr || AttemptOf(context) != pMyData->nAttempt) return;
    // Said before the publisher may publish again, so the line comes before the held frames' lines.
    console::Notice("Reconnected to the broker\n");
    FailInFlight(*pMyData);
    // The clean session lost the subscription: asked for again before the publisher goes on.
    StartSubscription(*pMyData);
    pMyData->bConnectionLost = false;
    pMyData->events.Ring();
    health::SetBrokerAway(false);
    AttemptDone(context, 0);
  } catch (...) {
  }
}

void onReconnectFailure(void* context, MQTTAsync_failureData* response) {
  try {
    // A failure without a code is still a failure.
    AttemptDone(context, response && response->code != 0 ? Refusal311(response->code) : MQTTASYNC_FAILURE);
  } catch (...) {
  }
}

// Reconnects after every loss, one attempt at a time. A refusal by the broker is told once, when it
// first appears or changes; other failures (broker away, no answer) are not printed.
int ReconnectMain(void* hInst) {
  TBroker& d = *static_cast<TBroker*>(hInst);
  const auto stopped = [&] { return d.bStopReconnect.load(); };
  try {
    int nPauseMs = 0;
    int nToldRefusal = 0;
    std::size_t nTimeout = 0;  // index into kConnectTimeoutsSeconds
    while (!d.bStopReconnect) {
      if (!d.bConnectionLost) {
        nPauseMs = 0;
        nTimeout = 0;
        // Nothing to do until a loss; the library's keep-alive bounds how long one goes unnoticed.
        d.reconnect.WaitFor([&] { return d.bConnectionLost || stopped(); }, -1);
        continue;
      }
      if (nPauseMs > 0 && d.reconnect.WaitFor(stopped, nPauseMs)) break;
      nPauseMs = std::min(nPauseMs == 0 ? kFirstRetryMs : 2 * nPauseMs, kMaxRetryMs);

      MQTTAsync_connectOptions conn_opts = ConnectOptions(d, d.nMqttVersion);
      SetCallbacks<onReconnect, onReconnectFailure>(conn_opts, d.nMqttVersion == MQTTVERSION_5);
      conn_opts.context = ContextOf(static_cast<std::uint64_t>(++d.nAttempt));
      const int nTimeoutSeconds = kConnectTimeoutsSeconds[nTimeout];
      conn_opts.connectTimeout = nTimeoutSeconds;
      d.bAttemptDone = false;
      if (MQTTAsync_connect(d.client, &conn_opts) != MQTTASYNC_SUCCESS) continue;
      health::SetConnecting(true);
      // The library gives the attempt up after its connect time-out; this bounds one that never answers.
      const TDeadline timedOut(nTimeoutSeconds * 1000 - 500);
      const bool bDone =
          d.reconnect.WaitFor([&] { return d.bAttemptDone || stopped(); }, (nTimeoutSeconds + 2) * 1000) &&
          d.bAttemptDone;
      health::SetConnecting(false);
      if (!bDone || timedOut.Passed())
        nTimeout = std::min(nTimeout + 1, std::size(kConnectTimeoutsSeconds) - 1);
      if (!bDone) continue;
      const int nCode = d.nAttemptCode;
      const int nRefusal = nCode > 0 ? nCode : 0;  // the library's own failures are negative
      if (nRefusal != 0 && nRefusal != nToldRefusal)
        console::Warning("The broker refused the reconnect: %s (code %d); retrying\n", RefusalText(nRefusal),
                         nRefusal);
      nToldRefusal = nRefusal;
      health::SetRefusal(nRefusal);
      if (nRefusal != 0) nPauseMs = kRefusedRetryMs;
    }
  } catch (...) {
  }
  return 0;
}

}  // namespace

bool StartReconnecting(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  d.pReconnectThread = SDL_CreateThread(ReconnectMain, "kestrinreconn", &d);
  if (d.pReconnectThread == nullptr) {
    console::Err("Failed to start thread kestrinreconn: %s\n", SDL_GetError());
    return false;
  }
  return true;
}

void StopReconnecting(ThKestrinBroker hInst) noexcept {
  if (hInst == nullptr) return;
  TBroker& d = *static_cast<TBroker*>(hInst);
  d.bStopReconnect = true;
  d.reconnect.Ring();
  if (d.pReconnectThread) SDL_WaitThread(d.pReconnectThread, nullptr);
  d.pReconnectThread = nullptr;
}

}  // namespace broker
