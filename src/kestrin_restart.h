// Whether a stop of the service entry is a restart, which decides whether the line keeps the bridge's
// settings (the next start takes the device over from systemd's store) or gets its original ones back.
#pragma once

namespace restart {

// Whether systemd's job for the caller's own unit is a restart (systemctl restart, or a try-restart of
// a running unit, as the package's upgrade does). False when it cannot tell: not under systemd, no
// system bus, or a caller the bus does not admit. A unit's dynamic user is such a caller (the bus
// daemon does not resolve dynamic users), so the bridge cannot ask itself; Tell asks for it.
bool UnderWay() noexcept;

// `kestrin_bridged --tell-restart`, the unit's ExecStop= run with full privileges (the "+" prefix):
// when UnderWay(), sends SIGUSR1 to the unit's main process ($MAINPID), which takes it as the notice
// (process::RestartNoticed) before systemd's SIGTERM. Says what it found in one line; exit status 0
// always, so that the stop goes on whatever happens.
int Tell() noexcept;

}  // namespace restart
