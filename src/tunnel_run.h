#pragma once

// The run mode as a few explicit states, and the record they share:
//
//   starting --READY--> connected --SIGHUP--> switching --> connected
//                                                      \--> no tunnel
//   no tunnel --SIGHUP--> switching
//   every state --SIGTERM/SIGINT--> stopping --STOPPED--> exit
//
// The record holds what the run decided and installed (the plan), the
// engine, the app-routing monitor and the watch's memory. The steps of each
// state are the pieces' own installs and removals; every stop, a failed
// start and a cancelled one undo exactly the steps the record says ran.

#include <thread>

#include "lifecycle/engine_library.h"
#include "tunnel_plan.h"
#include "watch/watch_state.h"

enum class RunState { kStarting, kConnected, kSwitching, kNoTunnel, kStopping };

// Which of the run's steps have run. Each is undone by its piece's removal
// (the kill switch's and app routing's steps, run without their option,
// still clear what an earlier run may have left there, as they always have).
struct RunSteps {
  bool library = false;
  bool engine = false;  // running: stopped through its stop export at the end
  bool tun_routes = false;
  bool app_routing = false;  // the monitor, when it was started, with it
  bool kill_switch = false;
  bool icmp_bypass = false;
  bool dns_redirect = false;
  // The run holds a lockdown block (dormant while it has a tunnel) that
  // every end of it wakes before the kill switch comes down.
  bool lockdown_block = false;
};

struct TunnelRun {
  RunState state = RunState::kStarting;
  TunnelPlan plan;
  RunSteps steps;
  EngineLibrary engine;
  std::thread monitor;
  WatchState watch;
  // The firewall's change notifications (lifecycle/firewall_events.h), or
  // -1 where the firewall is looked at periodically instead.
  int firewall_fd = -1;
  // The start found a killed run's kill switch and took it over: a start
  // that fails, or is cancelled, leaves it standing (where no block does),
  // so the host stays blocked as it was until a start succeeds or --cleanup.
  bool found_kill_switch = false;
  // The start found a lockdown block: it never removes it, only keeps it
  // dormant while it carries a tunnel.
  bool found_block = false;
};

// Undoes the run's steps, the last first (the kill switch before the rest,
// so nothing is blocked while it comes down), and records that none ran.
// A lockdown block the run holds is woken first and stays. `failed`: a
// start that failed or was cancelled (an earlier run's kill switch it took
// over stays, where no block stands). True when a block stands afterwards.
bool UndoRunSteps(TunnelRun* run, bool failed);

// "INFO: tun_name=..." and "INFO: endpoint=... bypass4=[...] bypass6=[...]".
void PrintTunnelLines(const TunnelPlan& plan);
// The TUN device's addresses ("INFO: ip addr ...", "INFO: ip -6 addr ...").
void PrintTunAddresses(const std::string& tun_name);
