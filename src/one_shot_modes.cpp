#include "one_shot_modes.h"

#include <string>

#include "approuting/policy.h"
#include "approuting/policy_apply.h"
#include "approuting/policy_cleanup.h"
#include "killswitch/lockdown.h"
#include "lifecycle/exit_status.h"
#include "lifecycle/status_line.h"
#include "recovery/stale_state.h"
#include "routing/default_route.h"

int RunValidateMode(const CommandLine& command_line) {
  std::string error;
  if (!IsValidLinuxAppBypassPolicy(command_line.policy_text, &error)) {
    PrintStatusLine("ERROR: invalid app bypass policy: " + error);
    return kExitFailed;
  }
  PrintStatusLine("OK: Linux cgroup/policy-routing app routing policy is valid");
  return kExitCompleted;
}

int RunRemoveMode() {
  CleanupAppRoutingPolicy();
  PrintStatusLine("APP_ROUTING_REMOVED");
  return kExitCompleted;
}

int RunApplyMode(const CommandLine& command_line) {
  std::string error;
  const AppRoutingPolicy policy = ParseAppRoutingPolicy(command_line.policy_text, &error);
  if (!error.empty()) {
    PrintStatusLine("ERROR: invalid app routing policy: " + error);
    return kExitFailed;
  }
  if (command_line.tun_name.empty()) {
    PrintStatusLine("ERROR: --apply-app-bypass-policy requires --tun");
    return kExitFailed;
  }
  const DefaultRouteInfo default4 = ReadDefaultRoute();
  const DefaultRouteInfo default6 = ReadDefaultRouteV6();
  // No monitor thread here: only processes running now are moved.
  if (!ApplyAppRoutingPolicy(policy, command_line.tun_name, default4, default6, &error)) {
    PrintStatusLine("ERROR: " + error);
    return kExitFailed;
  }
  PrintStatusLine("APP_ROUTING_APPLIED");
  return kExitCompleted;
}

int RunCleanupMode() {
  CleanupZelmoOwnedState();
  // The block outlasts a killed run on purpose: only --unblock ends it.
  // Asked without a command, so the cleanup's commands stay what they are;
  // where the kernel cannot tell, nothing is said.
  if (ProbeLockdownBlock() == NfTablesPresence::kPresent) {
    PrintStatusLine(
        "INFO: lockdown block kept; traffic stays blocked until a start with --kill-switch or "
        "--unblock");
  }
  PrintStatusLine("CLEANED");
  return kExitCompleted;
}

int RunBlockMode(const CommandLine& command_line) {
  std::string error;
  if (!ApplyLockdownBlock(ReadLockdownBlockInputs(command_line.allow_lan), &error)) {
    PrintStatusLine("ERROR: " + error);
    return kExitFailed;
  }
  PrintStatusLine("BLOCKED");
  return kExitCompleted;
}

int RunUnblockMode() {
  std::string error;
  if (!RemoveLockdownBlock(&error)) {
    PrintStatusLine("ERROR: " + error);
    return kExitFailed;
  }
  PrintStatusLine("UNBLOCKED");
  return kExitCompleted;
}
