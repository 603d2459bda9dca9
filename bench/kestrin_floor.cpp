// kestrin_floor: the least a publisher of the wheel's frames does with the bridge's client library, as
// the floor the benchmark compares the bridge with. It reads frames from a serial device (the
// benchmark's pseudo-terminal), publishes each one's document (the same bytes: the bridge's own frame
// module makes it) with QoS 1 on the Paho asynchronous client, waits for the broker's confirmation
// and pauses 150 ms, as the bridge does. Nothing else: no console lines, no backlog, silence or device
// watch, no reconnecting. It ends at end of input.
//   kestrin_floor DEVICE TOPIC CLIENT_ID
#include <MQTTAsync.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "kestrin_frame.h"

namespace {

std::mutex gMutex;
std::condition_variable gDone;
bool gCompleted = false;
bool gSucceeded = false;

void Complete(bool bSucceeded) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCompleted = true;
  gSucceeded = bSucceeded;
  gDone.notify_one();
}
void OnSuccess(void*, MQTTAsync_successData*) { Complete(true); }
void OnFailure(void*, MQTTAsync_failureData*) { Complete(false); }

// Waits for the outcome of the operation started last, at most 10 s, as the bridge bounds a publication.
bool WaitOutcome() {
  std::unique_lock<std::mutex> lock(gMutex);
  const bool bDone = gDone.wait_for(lock, std::chrono::seconds(10), [] { return gCompleted; });
  gCompleted = false;
  return bDone && gSucceeded;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kestrin_floor DEVICE TOPIC CLIENT_ID\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (fd < 0 || tcgetattr(fd, &settings) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  cfmakeraw(&settings);
  cfsetspeed(&settings, B19200);
  settings.c_cflag |= CSTOPB | CLOCAL | CREAD;
  settings.c_lflag = 0;
  tcsetattr(fd, TCSANOW, &settings);
  tcflush(fd, TCIFLUSH);

  MQTTAsync client = nullptr;
  if (MQTTAsync_create(&client, "tcp://127.0.0.1:1883", argv[3], MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
      MQTTASYNC_SUCCESS)
    return 1;
  MQTTAsync_connectOptions connect = MQTTAsync_connectOptions_initializer;
  connect.keepAliveInterval = 20;
  connect.cleansession = 1;
  connect.onSuccess = OnSuccess;
  connect.onFailure = OnFailure;
  connect.MQTTVersion = MQTTVERSION_3_1_1;
  if (MQTTAsync_connect(client, &connect) != MQTTASYNC_SUCCESS || !WaitOutcome()) {
    std::fprintf(stderr, "kestrin_floor: no connection to the broker\n");
    return 1;
  }
  std::printf("connected\n");
  std::fflush(stdout);

  std::string pending;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;  // end of input, or a line: stop
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    for (;;) {
      const std::size_t start = pending.find('*');
      if (start == std::string::npos) pending.clear();
      if (start == std::string::npos || pending.size() - start < frame::kFrameLength) break;
      const auto* pFrame = reinterpret_cast<const unsigned char*>(pending.data() + start);
      frame::TStatus status;
      frame::Decode(pFrame, &status);
      std::string document = frame::Document(status);
      pending.erase(0, start + frame::kFrameLength);
      MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
      options.onSuccess = OnSuccess;
      options.onFailure = OnFailure;
      MQTTAsync_message message = MQTTAsync_message_initializer;
      message.payload = document.data();
      message.payloadlen = static_cast<int>(document.size());
      message.qos = 1;
      if (MQTTAsync_sendMessage(client, argv[2], &message, &options) == MQTTASYNC_SUCCESS) WaitOutcome();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  }
  MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer;
  MQTTAsync_disconnect(client, &disconnect);
  MQTTAsync_destroy(&client);
  close(fd);
  return 0;
}
