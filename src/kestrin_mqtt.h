// What every user of the MQTT client library here builds alike: the bridge's broker module and the
// site's ledger. Nothing of either's record; only the library's own types.
#pragma once

#include <MQTTAsync.h>

#include <string>

namespace mqtt {

// A QoS 1 message of payload, which must outlive the MQTTAsync_sendMessage call (the library copies it).
inline MQTTAsync_message Message(const std::string& payload, bool bRetained) {
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = 1;
  message.retained = bRetained ? 1 : 0;
  return message;
}

// An MQTT 5 failure's code: the broker's reason code where it gave one, the library's code otherwise.
inline int FailureCode(const MQTTAsync_failureData5& response) {
  return response.reasonCode != 0 ? static_cast<int>(response.reasonCode) : response.code;
}

}  // namespace mqtt
