// The bridge: finds the wheel's serial port, connects to the broker and runs the publishing worker.
#pragma once

typedef void* ThKestrinControl;

// Start-up record built by main from the command line.
struct TInitData {
  char pSerialFileName[100];  // a device path, or "AUTO" / "auto" for port discovery
};

namespace control {

// Starts the bridge. Null when no port delivered a frame, the broker could not be reached or a stop
// was requested during start-up; the reasons have been printed.
ThKestrinControl Init(TInitData* pInitData) noexcept;

// Disconnects, stops the worker, restores the serial port and releases everything. Null does nothing.
void Destroy(ThKestrinControl hInst) noexcept;

// Asks the bridge to stop: ends a start-up in progress and makes StopDescriptor() readable. May be
// called from any thread; it is also async-signal-safe.
void RequestStop() noexcept;

// A descriptor that becomes readable, and stays so, once a stop is requested or the broker
// connection was lost beyond repair. Main waits on it beside standard input.
int StopDescriptor() noexcept;

// True when the connection to the broker was lost and could not be re-attempted; the process must
// then shut down and end with status 255.
bool ConnectionAbandoned() noexcept;

}  // namespace control
