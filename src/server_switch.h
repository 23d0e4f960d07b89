#pragma once

// The run's switching state: SIGHUP to a run asks it to read its
// configuration again (the client rewrote it) and move the tunnel to the
// server and TUN device it now names, without tearing anything down.
// Everything from the command line stays (bypass prefixes, policy, kill
// switch, --dns); the app-routing group keeps its members, so their open
// sockets keep their policy.

#include "lifecycle/command_line.h"
#include "tunnel_run.h"

enum class SwitchOutcome {
  kSwitched,  // the new engine runs and everything follows it; READY printed again
  kRefused,   // found wrong before the old engine stopped: one ERROR line, nothing changed
  kNoTunnel,  // the engine refused the new request: one ERROR line, no tunnel
  kStopped,   // a stop request came: the caller tears down what the plan records
};

// The switch, step by step (a stop request ends it at the next step):
// 1. the configuration read again and screened, the server's name looked
//    up (bounded, and ended by a stop);
// 2. the new server admitted by the kill switch and pinned beside the old,
//    by one look of the watch;
// 3. the old engine stopped through its stop export, the new request
//    started through its run export, in this process;
// 4. everything that names the TUN device follows the new one, and the old
//    server's pins and admission go (not where both are the same address),
//    by one more look; the plan lines and READY again.
SwitchOutcome SwitchServers(const CommandLine& command_line, TunnelRun* run);
