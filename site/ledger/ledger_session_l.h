// The session's record; only ledger_session.cpp sees it.
#pragma once

#include <MQTTAsync.h>

#include <atomic>
#include <mutex>
#include <string>

#include "kestrin_process.h"
#include "ledger_session.h"

namespace ledger {

// What the session's loop waits for.
enum class TLink {
  kWaiting,     // for retryAt, to connect again
  kConnecting,  // for the connect's outcome (connectDone)
  kConnected,   // for a loss (lost)
};

struct TSession {
  MQTTAsync client = nullptr;
  TSessionOptions options;
  TDoorbell doorbell;
  // The ledger's thread only:
  TLink link = TLink::kWaiting;
  std::int64_t retryAtMs = 0;
  int retrySeconds = 1;
  int lastFailure = 0;  // the reason last printed, so a broker that stays away prints once
  bool paused = false;  // SessionPause: no connect
  // Set by the library's threads:
  std::atomic<bool> connectDone{false}, connectOk{false}, lost{false}, disconnected{false};
  std::atomic<int> connectCode{0};
  std::atomic<int> subscribeRefused{0};  // a refused subscription's reason, until told
  std::atomic<bool> subscribed{false};   // the broker has answered a subscription since the start
  std::atomic<int> inflight{0};  // confirmations handed to the library, not yet completed
  TSink sink{};
  std::mutex mutex;  // guards ignored
  TIgnored ignored;
};

}  // namespace ledger
