#include "run_start.h"

#include "approuting/monitor.h"
#include "approuting/policy.h"
#include "approuting/policy_apply.h"
#include "approuting/policy_cleanup.h"
#include "approuting/policy_takeover.h"
#include "dns/dns_addresses.h"
#include "dns/dns_redirect.h"
#include "killswitch/guard_devices.h"
#include "killswitch/kill_switch.h"
#include "killswitch/lockdown.h"
#include "killswitch/lockdown_block.h"
#include "lifecycle/engine_request.h"
#include "lifecycle/firewall_events.h"
#include "lifecycle/status_line.h"
#include "lifecycle/stop_signal.h"
#include "lifecycle/text_utils.h"
#include "recovery/killed_run_traces.h"
#include "recovery/pinned_routes.h"
#include "routing/default_route.h"
#include "routing/endpoint.h"
#include "routing/engine_config.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv4_prefix.h"
#include "routing/ipv6_support.h"
#include "routing/tun_routes.h"
#include "watch/network_view.h"
#include "watch/owned_pieces.h"

namespace {

constexpr size_t kMaxConfigurationBytes = 64 * 1024 * 1024;

// What the start found of a killed run, asked without a command.
struct EarlierRun {
  bool found = false;         // take over rather than tear down first
  bool kill_switch = false;   // its kill switch may stand (present or cannot tell)
  bool app_routing = false;   // its app routing may stand
  bool dns_redirect = false;  // its name-lookup table may stand
};

bool MayStand(TracePresence trace) { return trace != TracePresence::kAbsent; }

EarlierRun FindEarlierRun() {
  const KilledRunTraces traces = ReadKilledRunTraces();
  EarlierRun earlier;
  earlier.found = JudgeKilledRunTraces(traces) != KilledRunVerdict::kNone;
  if (!earlier.found) return earlier;
  earlier.kill_switch = MayStand(traces.kill_switch_chain4) || MayStand(traces.kill_switch_chain6) ||
                        MayStand(traces.kill_switch_guard);
  earlier.app_routing = MayStand(traces.app_group) || MayStand(traces.app_rule4) ||
                        MayStand(traces.app_rule6) || MayStand(traces.app_guard_chain4) ||
                        MayStand(traces.app_guard_chain6);
  earlier.dns_redirect = MayStand(traces.dns_redirect);
  return earlier;
}

void ReadKillSwitchDevicesOf(TunnelPlan* plan);

// A --lockdown run leaves the block at every end, also one that comes
// before its kill switch and the dormant block stood (the engine refused,
// a cancel): the undo then makes it whole, for the network as it is now.
// A block the start found is made whole as well: a killed run may have
// left it dormant, judging nothing, and its kill switch is about to go.
void LeaveLockdownBlock(TunnelRun* run) {
  if (!run->plan.lockdown || run->steps.lockdown_block) return;
  ReadKillSwitchDevicesOf(&run->plan);
  run->steps.lockdown_block = true;
}

// A killed run's kill switch the start never reached (it failed before
// the takeover) stands as it stood; only one the kernel shows is told.
bool UntouchedKillSwitchStands(const TunnelRun& run) {
  if (run.steps.kill_switch || run.found_kill_switch) return false;
  const KilledRunTraces traces = ReadKilledRunTraces();
  return traces.kill_switch_chain4 == TracePresence::kPresent ||
         traces.kill_switch_chain6 == TracePresence::kPresent ||
         traces.kill_switch_guard == TracePresence::kPresent;
}

// A command line refused before anything is loaded or installed: one
// "ERROR: " line, and the host as it was.
bool RefuseStart(const std::string& error) {
  PrintStatusLine("ERROR: " + error);
  return false;
}

// One "ERROR: " line once the steps are undone. A kill switch the start
// took over, or never reached, stays, and a block the run leaves judges:
// the line says so, so the client does not take the failure for an open
// host, and says it only of what the undo left standing.
bool FailStart(const std::string& error, TunnelRun* run) {
  LeaveLockdownBlock(run);
  const bool untouched_kill_switch = UntouchedKillSwitchStands(*run);
  const bool blocked = UndoRunSteps(run, true);
  std::string line = "ERROR: " + error;
  if (blocked) {
    line += "; traffic stays blocked (lockdown) until a start with --kill-switch or --unblock";
  } else if (run->found_kill_switch || untouched_kill_switch) {
    line += "; traffic stays blocked by the kill switch until a start succeeds or --cleanup removes it";
  }
  PrintStatusLine(line);
  return false;
}

// A stop request before READY is answered once the step in progress has
// finished: what is installed comes down as after a failure, no outcome line
// is printed, and the helper ends by the signal's default action, which is
// what the client sees when a signal kills a helper before READY.
void EndIfStopRequested(TunnelRun* run) {
  const int signal_number = PendingStopSignal();
  if (signal_number == 0) return;
  LeaveLockdownBlock(run);
  UndoRunSteps(run, true);
  EndBySignal(signal_number);
}

void PrintPlan(const TunnelPlan& plan) {
  PrintTunnelLines(plan);
  PrintStatusLine("INFO: configured bypass4=[" + JoinList(plan.bypass_prefixes) + "]");
  PrintStatusLine("INFO: default4 via=" + plan.default4.gateway + " dev=" + plan.default4.dev);
  PrintStatusLine(Default6StatusLine(plan.default6));
  if (!plan.dns_addresses.empty()) PrintStatusLine("INFO: dns=" + JoinList(plan.dns_addresses));
}

// The uplinks and local bridges as the host has them now; the helper's own
// default routes (app routing's tables) are no uplinks.
void ReadKillSwitchDevicesOf(TunnelPlan* plan) {
  const TunnelPlan& current = *plan;
  plan->kill_switch_devices = ReadKillSwitchDevices(plan->tun_name, [&current](const ListedRoute& route) {
    return IsOwnedRoute(route, current, DefaultRouteInfo{});
  });
}

// The guard beside the chain, the line that says the kill switch stands.
bool InstallKillSwitchGuard(const KillSwitchInputs& inputs, TunnelRun* run, std::string* error) {
  const KillSwitchGuardResult guard = ApplyKillSwitchGuard(inputs, error);
  if (guard == KillSwitchGuardResult::kFailed) return false;
  run->plan.kill_switch = true;
  run->plan.kill_switch_guard = guard == KillSwitchGuardResult::kInstalled;
  PrintStatusLine("INFO: Linux Kill Switch active; loopback, " + run->plan.tun_name +
                  ", VPN endpoint, and configured bypass routes are allowed");
  if (guard == KillSwitchGuardResult::kNoNft) {
    PrintStatusLine(
        "INFO: kill switch guard not installed (nft not found): forwarded traffic is not "
        "blocked, and another program's rule before the kill switch's jump can let traffic out "
        "until the jump is first again");
  }
  return true;
}

// The kill switch: on a clean host the chain is built from nothing; over a
// killed run's it is replaced in the tools' atomic forms, so the host is
// never without one, and it admits the new server before the engine first
// reaches for it.
bool InstallKillSwitch(TunnelRun* run, bool take_over, std::string* error) {
  ReadKillSwitchDevicesOf(&run->plan);
  // The selected programs' marked traffic passes: the policy's tables
  // send it where it belongs, or refuse it, and a tunnel-only program's
  // guard lets it leave through the tunnel alone.
  const KillSwitchInputs inputs = KillSwitchInputsOf(run->plan, KernelHasIpv6());
  // A killed run's chain stands whether or not its replacement takes.
  if (take_over) run->steps.kill_switch = true;
  const bool made =
      take_over ? ReplaceKillSwitchPolicy(inputs, error) : ApplyKillSwitchPolicy(inputs, error);
  if (!made) return false;
  run->steps.kill_switch = true;
  return InstallKillSwitchGuard(inputs, run, error);
}

// The block the run leaves at its end, made dormant (or taken over so):
// the run carries its tunnel meanwhile, and a killed run leaves the block
// for the cleanup mode to wake. Only once the kill switch stands.
bool KeepLockdownBlockDormant(TunnelRun* run, std::string* error) {
  run->plan.block_active = false;
  run->steps.lockdown_block = true;
  return ApplyLockdownBlock(LockdownBlockInputsOf(run->plan), error);
}

bool InstallAppRouting(const EarlierRun& earlier, TunnelRun* run, std::string* error) {
  const AppRoutingPolicy& policy = run->plan.policy;
  if (!policy.enabled) {
    // A killed run's group and rules go: this run steers no program.
    if (earlier.app_routing) CleanupAppRoutingPolicy();
    return true;
  }
  // The apply may install part of the policy before it fails; the undo
  // takes down whatever is there, sysctls included.
  run->steps.app_routing = true;
  // The watch while READY moves the policy's routes when the network comes.
  const TunnelPlan& plan = run->plan;
  const bool applied =
      earlier.app_routing
          ? TakeOverAppRoutingPolicy(policy, plan.tun_name, plan.default4, plan.default6, error, true)
          : ApplyAppRoutingPolicy(policy, plan.tun_name, plan.default4, plan.default6, error, true);
  if (!applied) return false;
  if (!StartAppRoutingMonitor(policy, AppRoutingMonitorSettings{}, &run->monitor)) {
    // No thread to be had: undo what is installed rather than leave the
    // host half set up with no process to take it down.
    *error = "failed to start the app routing monitor";
    return false;
  }
  PrintStatusLine("INFO: app routing mode=" + policy.mode + " apps=" + JoinList(policy.apps));
  return true;
}

bool InstallDnsRedirect(TunnelRun* run, std::string* error) {
  TunnelPlan& plan = run->plan;
  // Last before READY: the routes that carry the redirected lookups, and
  // the kill switch rules that admit them, are in place by now.
  DnsRedirectInputs dns = DnsRedirectInputsOf(plan);
  plan.dns_route_localnet_raised = dns.route_localnet_raised =
      NeedsRouteLocalnet(dns) && IsRouteLocalnetOff(plan.tun_name);
  run->steps.dns_redirect = true;
  if (!ApplyDnsRedirect(dns, error)) return false;
  plan.dns_redirect = true;
  return true;
}

}  // namespace

bool StartTunnel(const CommandLine& command_line, TunnelRun* run) {
  TunnelPlan& plan = run->plan;
  run->state = RunState::kStarting;
  EndIfStopRequested(run);

  // Refused before anything is loaded or installed: the local network is
  // an exception to the kill switch, and the block its lasting form, both
  // meaningless without it.
  if (command_line.allow_lan && !command_line.kill_switch) {
    return RefuseStart("--allow-lan requires --kill-switch");
  }
  if (command_line.lockdown && !command_line.kill_switch) {
    return RefuseStart("--lockdown requires --kill-switch");
  }
  // A run without the kill switch would have to lift the block to carry
  // anything, and only --unblock ends it. Asked without a command where the
  // kernel can tell, so such a start runs today's commands when no block
  // stands. A run with the kill switch takes the block over and leaves it
  // again at its end.
  const bool block_found = LockdownBlockStands();
  if (!command_line.kill_switch && block_found) {
    return RefuseStart(
        "traffic is blocked (lockdown); start with --kill-switch, or end the block with --unblock");
  }
  run->found_block = block_found;
  std::string error;
  // Refused before anything is loaded or installed. The addresses are the
  // parser's own canonical texts, so the status line prints nothing of
  // the client's.
  if (command_line.dns_given &&
      !ParseDnsAddresses(command_line.dns, &plan.dns_addresses, &error)) {
    return RefuseStart(error);
  }
  // From here on every end of a --lockdown run leaves the block.
  plan.lockdown = command_line.lockdown || block_found;

  std::string loader_error;
  switch (LoadEngineLibrary(command_line.library_path, &run->engine, &loader_error)) {
    case EngineLoadOutcome::kNotLoadable:
      return FailStart("dlopen failed: " + loader_error, run);
    case EngineLoadOutcome::kEntryPointMissing:
      return FailStart("required symbols not found in libXray", run);
    case EngineLoadOutcome::kLoaded:
      break;
  }
  run->steps.library = true;
  const std::string request = BuildEngineRequest(command_line.data_dir, command_line.config_path);
  // Only a regular file of bounded size: /dev/zero or a FIFO must not hang
  // or exhaust the helper; anything else reads as no configuration.
  const std::string config_text =
      ReadRegularFileToString(command_line.config_path, kMaxConfigurationBytes);

  plan.tun_name = ExtractTunName(config_text);
  plan.endpoint_host = ExtractProxyAddress(config_text);
  plan.default4 = ReadDefaultRoute();
  plan.default6 = ReadDefaultRouteV6();
  // Resolved before the engine starts, while names still resolve over the
  // physical network.
  plan.endpoint = ResolveHostAddresses(plan.endpoint_host);
  plan.bypass_prefixes = ParseIpv4CidrsCsv(command_line.bypass_prefixes);
  plan.allow_lan = command_line.allow_lan;
  const std::string encoded_request = Base64Encode(request);

  plan.policy = ParseAppRoutingPolicy(command_line.policy_text, &error);
  const AppRoutingPolicy& policy = plan.policy;
  if (!error.empty()) return FailStart("invalid app routing policy: " + error, run);
  PrintPlan(plan);
  EndIfStopRequested(run);

  // What a killed run left is taken over, not torn down: found by asking
  // the kernel, so a start on a clean host runs no command more.
  const EarlierRun earlier = FindEarlierRun();
  if (earlier.found && earlier.kill_switch && !command_line.kill_switch) {
    // Started without one: the killed run's goes before anything else.
    CleanupKillSwitchPolicy();
  }
  // A killed run's kill switch, or a block, is taken over before the engine
  // starts: the new kill switch stands before the old one (or the block)
  // gives way, and it admits the new server before the engine reaches for it.
  if (command_line.kill_switch && ((earlier.found && earlier.kill_switch) || block_found)) {
    run->found_kill_switch = earlier.found && earlier.kill_switch;
    if (!InstallKillSwitch(run, run->found_kill_switch, &error)) return FailStart(error, run);
    if (plan.lockdown && !KeepLockdownBlockDormant(run, &error)) return FailStart(error, run);
    EndIfStopRequested(run);
  }
  if (earlier.found) {
    // Before the ICMP bypass and app routing rewrite tables 100 and 1066,
    // which still name the gateways the killed run pinned over.
    RemoveOtherServersPins(plan.endpoint, plan.bypass_prefixes);
    // Without --dns the killed run's redirect would go on sending every
    // lookup to resolvers only its tunnel reached, past this run's end too;
    // with it, the install below replaces the table whole.
    if (earlier.dns_redirect && plan.dns_addresses.empty()) CleanupDnsRedirect();
  }

  const EngineStartResult started = StartEngine(run->engine, encoded_request);
  if (started.null_response) return FailStart("libXray returned null response", run);
  if (!started.success) return FailStart(started.response, run);
  run->steps.engine = true;
  // The watch judges the device by its index: one the engine makes again
  // later is another device, without these routes.
  plan.tun_ifindex = ReadTunIndex(plan.tun_name);
  EndIfStopRequested(run);

  run->steps.tun_routes = true;
  if (policy.enabled && policy.mode == "vpnOnlySelected") {
    PrintStatusLine(
        "INFO: app routing mode=vpnOnlySelected; global full-tunnel routes are not installed");
  } else {
    plan.tun_routes = ApplyTunRoutes(plan.tun_name, plan.endpoint_host, plan.default4, plan.default6,
                                     plan.endpoint, plan.bypass_prefixes);
    // As ApplyTunRoutes has it: the IPv6 halves only with an IPv6 uplink.
    plan.split_routes6 = plan.tun_routes && IsUsableDefaultRoute(plan.default6);
  }
  EndIfStopRequested(run);

  if (!InstallAppRouting(earlier, run, &error)) return FailStart(error, run);
  // The app routing step ran, with or without a policy: its removal at a
  // stop clears what an earlier run may have left, as it always has.
  run->steps.app_routing = true;
  EndIfStopRequested(run);

  if (command_line.kill_switch && !run->plan.kill_switch) {
    if (!InstallKillSwitch(run, false, &error)) return FailStart(error, run);
    if (plan.lockdown && !KeepLockdownBlockDormant(run, &error)) return FailStart(error, run);
  }
  // Without --kill-switch the step still ran (its removal at a stop clears
  // what an earlier run may have left).
  run->steps.kill_switch = true;
  EndIfStopRequested(run);

  const IcmpBypassResult icmp_bypass = ApplyIcmpBypass(plan.default4);
  run->steps.icmp_bypass = true;
  plan.icmp_bypass = icmp_bypass == IcmpBypassResult::kInstalled;
  if (!plan.icmp_bypass) {
    PrintStatusLine("INFO: ICMP bypass not installed; " + IcmpBypassSkipReason(icmp_bypass));
  }
  if (!plan.dns_addresses.empty()) {
    EndIfStopRequested(run);
    if (!InstallDnsRedirect(run, &error)) return FailStart(error, run);
  }
  run->steps.dns_redirect = true;
  // The address lines change nothing; one check after them covers both.
  PrintTunAddresses(plan.tun_name);
  // Opened before READY, so that the watch looks at the host right after
  // it. Without the firewall's notifications the firewall is looked at
  // periodically instead (watch/keep_in_place.h).
  run->firewall_fd = OpenFirewallEvents();
  EndIfStopRequested(run);
  return true;
}
