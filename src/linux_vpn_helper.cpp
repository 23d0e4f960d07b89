// Entry point of the privileged VPN helper: picks the mode from the command
// line and, in the run mode, walks the run through its states (run_start.h,
// server_switch.h, tunnel_run.h): starting, connected, switching servers or
// without a tunnel, and stopping, which takes everything down again.

#include <unistd.h>

#include <string>
#include <vector>

#include "lifecycle/capability.h"
#include "lifecycle/command_line.h"
#include "lifecycle/exit_status.h"
#include "lifecycle/firewall_events.h"
#include "lifecycle/helper_lock.h"
#include "lifecycle/secure_execution.h"
#include "lifecycle/status_line.h"
#include "lifecycle/stop_signal.h"
#include "one_shot_modes.h"
#include "run_start.h"
#include "server_switch.h"
#include "tunnel_run.h"
#include "watch/watch_while_ready.h"

namespace {

// The state a switch leaves the run in.
RunState StateAfter(SwitchOutcome outcome, RunState before) {
  switch (outcome) {
    case SwitchOutcome::kSwitched:
      return RunState::kConnected;
    case SwitchOutcome::kRefused:
      return before;
    case SwitchOutcome::kNoTunnel:
      return RunState::kNoTunnel;
    case SwitchOutcome::kStopped:
      break;
  }
  return RunState::kStopping;
}

int RunTunnel(const CommandLine& command_line) {
  // From here on a stop signal, or a status line the client cannot read,
  // ends the start at the next step boundary with what it installed undone;
  // a switch request waits for READY.
  InstallStopSignalHandlers();
  InstallSwitchSignalHandler();
  OpenSignalWakeups();
  TunnelRun run;
  if (!StartTunnel(command_line, &run)) return kExitFailed;
  PrintStatusLine("READY");
  // A client that could not read READY has gone and will never stop the run.
  if (g_status_line_failed.load()) {
    UndoRunSteps(&run, false);
    EndBySignal(SIGPIPE);
  }
  run.state = RunState::kConnected;

  std::vector<ExtraWatch> watches;
  if (run.firewall_fd >= 0) watches.push_back({run.firewall_fd, DrainFirewallEvents, true});
  run.watch = StartWatchState(run.plan);
  int switches_seen = 0;
  while (run.state != RunState::kStopping) {
    if (WatchWhileReady(&run.plan, &run.watch, watches, &switches_seen) == WatchEnd::kStop) break;
    const RunState before = run.state;
    run.state = RunState::kSwitching;
    run.state = StateAfter(SwitchServers(command_line, &run), before);
  }

  // A further signal changes nothing now: the teardown runs to its end.
  run.state = RunState::kStopping;
  if (run.firewall_fd >= 0) close(run.firewall_fd);
  if (UndoRunSteps(&run, false)) {
    PrintStatusLine("INFO: traffic stays blocked (lockdown) until a start with --kill-switch or --unblock");
  }
  PrintStatusLine("STOPPED");
  return kExitCompleted;
}

// Every privileged mode changes the host; two helpers in one network
// namespace would take down each other's pieces. Held until the process
// ends, so past STOPPED too.
bool TakeLockOrReport() {
  LockHolder holder;
  std::string error;
  switch (TakeHelperLock(&holder, &error)) {
    case HelperLockOutcome::kTaken:
      return true;
    case HelperLockOutcome::kUnavailable:
      PrintErrorLine("linux_vpn_helper: " + error + "; running without the helper lock");
      return true;
    case HelperLockOutcome::kHeldElsewhere:
      // The pid and command let a client that lost track of its helper
      // find it (and tell it from something else that took the name).
      PrintStatusLine("ERROR: another linux_vpn_helper is running" +
                      (holder.pid > 0 ? " (pid " + std::to_string(holder.pid) + " " +
                                            holder.command + ")"
                                      : std::string()));
      return false;
    case HelperLockOutcome::kFailed:
      break;
  }
  PrintStatusLine("ERROR: cannot take the helper lock: " + error);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // An exec with an empty argument vector gives argc 0 on older kernels;
  // there are no arguments after the program name then.
  const std::vector<std::string> args(argc > 1 ? argv + 1 : argv, argc > 1 ? argv + argc : argv);
  const CommandLine command_line = ParseCommandLine(args);
  const HelperMode mode = SelectMode(command_line);
  if (IsPrivilegedMode(mode)) {
    // First of all: every command, the engine and any thread inherit it.
    ResetEnvironmentForSecureExecution();
    if (!CheckNetAdminCapability()) return kExitFailed;
    if (!TakeLockOrReport()) return kExitFailed;
  }

  switch (mode) {
    case HelperMode::kRemove:
      return RunRemoveMode();
    case HelperMode::kApply:
      return RunApplyMode(command_line);
    case HelperMode::kCleanup:
      return RunCleanupMode();
    case HelperMode::kRun:
      return RunTunnel(command_line);
    case HelperMode::kValidate:
      return RunValidateMode(command_line);
    case HelperMode::kBlock:
      return RunBlockMode(command_line);
    case HelperMode::kUnblock:
      return RunUnblockMode();
    case HelperMode::kMissingArguments:
      break;
  }
  PrintStatusLine("ERROR: missing required arguments --lib and --config");
  return kExitFailed;
}
