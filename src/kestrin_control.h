// The bridge: finds the wheel's serial port, connects to the broker and runs the publishing worker.
// What it is doing, the programs learn from health (kestrin_health.h).
#pragma once

#include <termios.h>

#include <string>

#include "kestrin_cmdline.h"
#include "kestrin_signature.h"

typedef void* ThKestrinControl;

// Start-up record built by main from the command line.
struct TInitData {
  char pSerialFileName[cmdline::kMaxDevice + 1];  // a device path, or "AUTO" / "auto" for port discovery
  // The service entry's: the directory of the wheels' journals. With one, the bridge speaks MQTT 5,
  // numbers and journals every document (kestrin_journal.h), reads the site's confirmations on the
  // wheel's ledger topic and publishes again at start what the site has not confirmed. Null: none
  // (MQTT 3.1.1, documents without properties).
  const char* pJournalDirectory = nullptr;
  // With a journal: a start-up whose connect fails keeps the open device, the frames read and the
  // journal for the next Init (the caller tries again), instead of closing them.
  bool bKeepOnFailure = false;
  // With a journal: the box's key, which signs and chains every document (kestrin_chain.h), and the
  // site's public key, which checks the site's checkpoints (kestrin_checkpoint.h). Both stay the
  // caller's and outlive the bridge; null: unsigned documents, checkpoints not checked.
  ThKestrinKey hBoxKey = nullptr;
  ThKestrinKey hSiteKey = nullptr;
  // With a journal: how long documents the site confirmed stay (days; negative: the journal's default,
  // 7; 0: until the disk budget ends), and the disk budget per wheel (MiB; 0: the default, 384).
  int nJournalRetentionDays = -1;
  int nJournalBudgetMiB = 0;
  // An open descriptor of the device that the service manager kept across a restart (-1: none), and
  // the settings the device had before any bridge set its own. Init takes it over when it is still the
  // device named (or one of discovery's candidates) and sets nSerialFd to -1; what the wheel sent
  // meanwhile waits in it.
  int nSerialFd = -1;
  termios serialOriginal{};
};

namespace control {

// Starts the bridge. Null when no port delivered a frame, the broker could not be reached or a stop
// was requested during start-up; the reasons have been printed.
ThKestrinControl Init(TInitData* pInitData) noexcept;

// Publishes the frames that wait, without the pause between them, for at most nTimeoutMs: until none
// waits, the broker is away or a publication is not confirmed in time. For a stop that should lose
// as little as it can (the service entry); Shutdown follows.
void Drain(ThKestrinControl hInst, int nTimeoutMs) noexcept;

// Shutdown's first step, for a caller that reports the final counts before the disconnect: no
// reconnect and no publication starts any more, the one in flight gets its outcome (1 s at most), and
// the frames read and not published are counted as dropped. Shutdown does it if nobody did.
void StopPublishing(ThKestrinControl hInst) noexcept;

// The orderly shutdown with its lines: disconnects, stops the worker, restores the serial port and
// releases everything ("Destroying control layer class instance... " ... "done"). Null: only the lines,
// and what a failed start-up kept is released, its frames counted as not published.
void Shutdown(ThKestrinControl hInst) noexcept;

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

// The open serial device's descriptor (-1: none) and in *pOriginal the settings that shutdown puts
// back; for a service manager to keep it across a restart.
int SerialDescriptor(ThKestrinControl hInst, termios* pOriginal) noexcept;
// Shutdown leaves the device's settings as the bridge set them: its descriptor stays open with the
// service manager, and the next start goes on reading with them.
void KeepSerialSettings(ThKestrinControl hInst) noexcept;

// The broker the bridge publishes to, "tcp://HOST:1883".
const char* BrokerUri() noexcept;

// After Init returned null: why, in a few words ("" while no start-up has failed).
const char* StartFailure() noexcept;

// After Init returned null: the broker's refusal of the connection (CONNACK 4: bad user name or
// password, 5: not authorised), 0 when it failed otherwise.
int StartRefusal() noexcept;

}  // namespace control
