#include "tunnel_run.h"

#include "approuting/monitor.h"
#include "approuting/policy_cleanup.h"
#include "dns/dns_redirect.h"
#include "killswitch/kill_switch.h"
#include "killswitch/lockdown.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "lifecycle/text_utils.h"
#include "routing/icmp_bypass.h"
#include "routing/tun_routes.h"

bool UndoRunSteps(TunnelRun* run, bool failed) {
  TunnelPlan& plan = run->plan;
  RunSteps& steps = run->steps;
  bool blocked = false;
  const bool leaves_block = steps.lockdown_block;
  if (leaves_block) {
    // Made whole and judging before the kill switch goes, so there is no
    // moment without either; the uplinks and bridges as the watch last
    // read them.
    plan.block_active = true;
    std::string error;
    blocked = ApplyLockdownBlock(LockdownBlockInputsOf(plan), &error);
    // Where it could not be made whole the dormant one is woken: the block
    // the run last made, rather than none. Only one that stands: the wake
    // would make an empty table where none is, a block that blocks nothing.
    if (!blocked && LockdownBlockStands()) {
      blocked = RunShellCommand(LockdownBlockWakeCommand()) == 0;
    }
  }
  if (steps.app_routing) StopAppRoutingMonitor(&run->monitor);
  // The chain goes first so nothing is blocked while the rest comes down;
  // an earlier run's that a failed start took over stays, as it stood,
  // unless a block judges in its place (a found one may be dormant).
  const bool kept = failed && run->found_kill_switch && !blocked;
  if (steps.kill_switch && !kept) CleanupKillSwitchPolicy();
  // Only where --dns asked for it: without it no command changes.
  if (steps.dns_redirect && !plan.dns_addresses.empty()) CleanupDnsRedirect();
  if (steps.app_routing) CleanupAppRoutingPolicy();
  // The table's route is the run's only while the bypass is.
  if (steps.icmp_bypass) CleanupIcmpBypass(plan.icmp_bypass ? plan.default4 : DefaultRouteInfo{});
  // Only what the start installed: a vpnOnlySelected run has none of them.
  // The pins of a server a switch left go too, if a look has not yet.
  if (steps.tun_routes && plan.tun_routes) {
    CleanupTunRoutes(plan.tun_name, plan.endpoint_host, plan.default4, plan.default6,
                     PinnedEndpoint(plan), plan.bypass_prefixes, plan.split_routes6);
  }
  if (steps.engine) StopEngine(run->engine);
  if (steps.library) UnloadEngineLibrary(&run->engine);
  steps = RunSteps{};
  // A found block the run never made whole stands as it was found.
  return leaves_block ? blocked : run->found_block;
}

void PrintTunnelLines(const TunnelPlan& plan) {
  PrintStatusLine("INFO: tun_name=" + plan.tun_name);
  PrintStatusLine("INFO: endpoint=" + plan.endpoint_host + " bypass4=[" +
                  JoinList(plan.endpoint.ipv4) + "] bypass6=[" + JoinList(plan.endpoint.ipv6) + "]");
}

void PrintTunAddresses(const std::string& tun_name) {
  // The name comes from a user-writable configuration: only a screened
  // word may reach the shell.
  if (!IsSafeShellToken(tun_name)) return;
  PrintStatusLine("INFO: ip addr " + Trim(ExecCommandOutput("ip -o addr show dev " + tun_name)));
  PrintStatusLine("INFO: ip -6 addr " +
                  Trim(ExecCommandOutput("ip -6 -o addr show dev " + tun_name)));
}
