// Entry point of the privileged VPN helper: picks the mode from the command
// line and, in the run mode, brings the tunnel up, waits for a stop signal
// and takes everything down again in reverse.

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "approuting/monitor.h"
#include "approuting/policy.h"
#include "approuting/policy_apply.h"
#include "approuting/policy_cleanup.h"
#include "killswitch/guard_devices.h"
#include "dns/dns_addresses.h"
#include "dns/dns_redirect.h"
#include "killswitch/kill_switch.h"
#include "killswitch/lockdown.h"
#include "killswitch/safe_token.h"
#include "lifecycle/capability.h"
#include "lifecycle/command_line.h"
#include "lifecycle/engine_library.h"
#include "lifecycle/engine_request.h"
#include "lifecycle/exit_status.h"
#include "lifecycle/firewall_events.h"
#include "lifecycle/helper_lock.h"
#include "lifecycle/secure_execution.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "lifecycle/stop_signal.h"
#include "lifecycle/text_utils.h"
#include "routing/default_route.h"
#include "routing/endpoint.h"
#include "routing/engine_config.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/ipv4_prefix.h"
#include "routing/tun_routes.h"
#include "one_shot_modes.h"
#include "tunnel_plan.h"
#include "watch/network_view.h"
#include "watch/owned_pieces.h"
#include "watch/watch_while_ready.h"

namespace {

constexpr size_t kMaxConfigurationBytes = 64 * 1024 * 1024;

bool InstallTunRoutes(const TunnelPlan& plan) {
  return ApplyTunRoutes(plan.tun_name, plan.endpoint_host, plan.default4, plan.default6, plan.endpoint,
                 plan.bypass_prefixes);
}

void RemoveTunRoutes(const TunnelPlan& plan) {
  CleanupTunRoutes(plan.tun_name, plan.endpoint_host, plan.default4, plan.default6, plan.endpoint,
                   plan.bypass_prefixes, plan.split_routes6);
}

// How far the start sequence has come; each stage includes the ones before
// it. A step that fails undoes the stage before it, a stop request after a
// step undoes that step's stage, and the teardown undoes the last one.
enum class StartStage {
  kNothing,
  kLibraryLoaded,
  kEngineStarted,
  kTunRoutes,   // also when the policy skipped them
  kAppRouting,  // also without a policy
  kKillSwitch,  // also without --kill-switch
  kIcmpBypass,
  kDnsRedirect,  // also without --dns
};

void UndoStart(StartStage stage, const TunnelPlan& plan, EngineLibrary* engine,
               std::thread* monitor) {
  if (stage >= StartStage::kAppRouting) StopAppRoutingMonitor(monitor);
  // The chain goes first so nothing is blocked while the rest comes down.
  if (stage >= StartStage::kKillSwitch) CleanupKillSwitchPolicy();
  // Only where --dns asked for it: without it no command changes.
  if (stage >= StartStage::kDnsRedirect && !plan.dns_addresses.empty()) CleanupDnsRedirect();
  if (stage >= StartStage::kAppRouting) CleanupAppRoutingPolicy();
  // The table's route is the run's only while the bypass is.
  if (stage >= StartStage::kIcmpBypass) {
    CleanupIcmpBypass(plan.icmp_bypass ? plan.default4 : DefaultRouteInfo{});
  }
  // Only what the start installed: a vpnOnlySelected run has none of them.
  if (stage >= StartStage::kTunRoutes && plan.tun_routes) RemoveTunRoutes(plan);
  if (stage >= StartStage::kEngineStarted) StopEngine(*engine);
  if (stage >= StartStage::kLibraryLoaded) UnloadEngineLibrary(engine);
}

// A stop request before READY is answered once the step in progress has
// finished: what is installed comes down as after a failure, no outcome line
// is printed, and the helper ends by the signal's default action, which is
// what the client sees when a signal kills a helper before READY.
void EndIfStopRequested(StartStage stage, const TunnelPlan& plan, EngineLibrary* engine,
                        std::thread* monitor) {
  const int signal_number = PendingStopSignal();
  if (signal_number == 0) return;
  UndoStart(stage, plan, engine, monitor);
  EndBySignal(signal_number);
}

void PrintPlan(const TunnelPlan& plan) {
  PrintStatusLine("INFO: tun_name=" + plan.tun_name);
  PrintStatusLine("INFO: endpoint=" + plan.endpoint_host + " bypass4=[" +
                  JoinList(plan.endpoint.ipv4) + "] bypass6=[" + JoinList(plan.endpoint.ipv6) + "]");
  PrintStatusLine("INFO: configured bypass4=[" + JoinList(plan.bypass_prefixes) + "]");
  PrintStatusLine("INFO: default4 via=" + plan.default4.gateway + " dev=" + plan.default4.dev);
  PrintStatusLine(Default6StatusLine(plan.default6));
  if (!plan.dns_addresses.empty()) PrintStatusLine("INFO: dns=" + JoinList(plan.dns_addresses));
}

void PrintTunAddresses(const std::string& tun_name) {
  // The name comes from a user-writable configuration: only a screened
  // word may reach the shell.
  if (!IsSafeShellToken(tun_name)) return;
  PrintStatusLine("INFO: ip addr " + Trim(ExecCommandOutput("ip -o addr show dev " + tun_name)));
  PrintStatusLine("INFO: ip -6 addr " +
                  Trim(ExecCommandOutput("ip -6 -o addr show dev " + tun_name)));
}

int RunTunnel(const CommandLine& command_line) {
  // From here on a stop signal, or a status line the client cannot read,
  // ends the start at the next step boundary with what it installed undone.
  InstallStopSignalHandlers();
  EngineLibrary engine;
  TunnelPlan plan;
  std::thread monitor;
  EndIfStopRequested(StartStage::kNothing, plan, &engine, &monitor);

  // Refused before anything is loaded or installed: the local network is
  // an exception to the kill switch, meaningless without it.
  if (command_line.allow_lan && !command_line.kill_switch) {
    PrintStatusLine("ERROR: --allow-lan requires --kill-switch");
    return kExitFailed;
  }
  // A run without the kill switch would have to lift the block to carry
  // anything, and only --unblock ends it. Asked without a command where the
  // kernel can tell, so such a start runs today's commands when no block
  // stands.
  if (!command_line.kill_switch && LockdownBlockStands()) {
    PrintStatusLine(
        "ERROR: traffic is blocked (lockdown); start with --kill-switch, or end the block with "
        "--unblock");
    return kExitFailed;
  }

  std::string error;
  // Refused before anything is loaded or installed. The addresses are the
  // parser's own canonical texts, so the status line prints nothing of
  // the client's.
  if (command_line.dns_given &&
      !ParseDnsAddresses(command_line.dns, &plan.dns_addresses, &error)) {
    PrintStatusLine("ERROR: " + error);
    return kExitFailed;
  }

  std::string loader_error;
  switch (LoadEngineLibrary(command_line.library_path, &engine, &loader_error)) {
    case EngineLoadOutcome::kNotLoadable:
      PrintStatusLine("ERROR: dlopen failed: " + loader_error);
      return kExitFailed;
    case EngineLoadOutcome::kEntryPointMissing:
      PrintStatusLine("ERROR: required symbols not found in libXray");
      return kExitFailed;
    case EngineLoadOutcome::kLoaded:
      break;
  }
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
  if (!error.empty()) {
    PrintStatusLine("ERROR: invalid app routing policy: " + error);
    UndoStart(StartStage::kLibraryLoaded, plan, &engine, &monitor);
    return kExitFailed;
  }
  PrintPlan(plan);
  EndIfStopRequested(StartStage::kLibraryLoaded, plan, &engine, &monitor);

  const EngineStartResult started = StartEngine(engine, encoded_request);
  if (started.null_response) {
    PrintStatusLine("ERROR: libXray returned null response");
    UndoStart(StartStage::kLibraryLoaded, plan, &engine, &monitor);
    return kExitFailed;
  }
  if (!started.success) {
    PrintStatusLine("ERROR: " + started.response);
    UndoStart(StartStage::kLibraryLoaded, plan, &engine, &monitor);
    return kExitFailed;
  }
  // The watch judges the device by its index: one the engine makes again
  // later is another device, without these routes.
  plan.tun_ifindex = ReadTunIndex(plan.tun_name);
  EndIfStopRequested(StartStage::kEngineStarted, plan, &engine, &monitor);

  if (policy.enabled && policy.mode == "vpnOnlySelected") {
    PrintStatusLine(
        "INFO: app routing mode=vpnOnlySelected; global full-tunnel routes are not installed");
  } else {
    plan.tun_routes = InstallTunRoutes(plan);
    // As ApplyTunRoutes has it: the IPv6 halves only with an IPv6 uplink.
    plan.split_routes6 = plan.tun_routes && IsUsableDefaultRoute(plan.default6);
  }
  EndIfStopRequested(StartStage::kTunRoutes, plan, &engine, &monitor);

  if (policy.enabled) {
    // The watch while READY moves the policy's routes when the network comes.
    if (!ApplyAppRoutingPolicy(policy, plan.tun_name, plan.default4, plan.default6, &error,
                               true)) {
      PrintStatusLine("ERROR: " + error);
      // The apply may have installed part of the policy before it failed;
      // its cleanup takes down whatever is there, sysctls included.
      UndoStart(StartStage::kAppRouting, plan, &engine, &monitor);
      return kExitFailed;
    }
    if (!StartAppRoutingMonitor(policy, AppRoutingMonitorSettings{}, &monitor)) {
      // No thread to be had: undo what is installed rather than leave the
      // host half set up with no process to take it down.
      PrintStatusLine("ERROR: failed to start the app routing monitor");
      UndoStart(StartStage::kAppRouting, plan, &engine, &monitor);
      return kExitFailed;
    }
    PrintStatusLine("INFO: app routing mode=" + policy.mode + " apps=" + JoinList(policy.apps));
  }
  EndIfStopRequested(StartStage::kAppRouting, plan, &engine, &monitor);

  if (command_line.kill_switch) {
    // The helper's own default routes (app routing's tables) are no uplinks.
    plan.kill_switch_devices =
        ReadKillSwitchDevices(plan.tun_name, [&plan](const ListedRoute& route) {
          return IsOwnedRoute(route, plan, DefaultRouteInfo{});
        });
    // The selected programs' marked traffic passes: the policy's tables
    // send it where it belongs, or refuse it, and a tunnel-only program's
    // guard lets it leave through the tunnel alone.
    const KillSwitchInputs inputs = KillSwitchInputsOf(plan, KernelHasIpv6());
    if (!ApplyKillSwitchPolicy(inputs, &error)) {
      PrintStatusLine("ERROR: " + error);
      UndoStart(StartStage::kAppRouting, plan, &engine, &monitor);
      return kExitFailed;
    }
    const KillSwitchGuardResult guard = ApplyKillSwitchGuard(inputs, &error);
    if (guard == KillSwitchGuardResult::kFailed) {
      PrintStatusLine("ERROR: " + error);
      UndoStart(StartStage::kKillSwitch, plan, &engine, &monitor);
      return kExitFailed;
    }
    plan.kill_switch = true;
    plan.kill_switch_guard = guard == KillSwitchGuardResult::kInstalled;
    PrintStatusLine("INFO: Linux Kill Switch active; loopback, " + plan.tun_name +
                    ", VPN endpoint, and configured bypass routes are allowed");
    if (guard == KillSwitchGuardResult::kNoNft) {
      PrintStatusLine(
          "INFO: kill switch guard not installed (nft not found): forwarded traffic is not "
          "blocked, and another program's rule before the kill switch's jump can let traffic out "
          "until the jump is first again");
    }
  }
  EndIfStopRequested(StartStage::kKillSwitch, plan, &engine, &monitor);

  const IcmpBypassResult icmp_bypass = ApplyIcmpBypass(plan.default4);
  plan.icmp_bypass = icmp_bypass == IcmpBypassResult::kInstalled;
  if (!plan.icmp_bypass) {
    PrintStatusLine("INFO: ICMP bypass not installed; " + IcmpBypassSkipReason(icmp_bypass));
  }
  if (!plan.dns_addresses.empty()) {
    EndIfStopRequested(StartStage::kIcmpBypass, plan, &engine, &monitor);
    // Last before READY: the routes that carry the redirected lookups, and
    // the kill switch rules that admit them, are in place by now.
    DnsRedirectInputs dns = DnsRedirectInputsOf(plan);
    plan.dns_route_localnet_raised = dns.route_localnet_raised =
        NeedsRouteLocalnet(dns) && IsRouteLocalnetOff(plan.tun_name);
    if (!ApplyDnsRedirect(dns, &error)) {
      PrintStatusLine("ERROR: " + error);
      UndoStart(StartStage::kDnsRedirect, plan, &engine, &monitor);
      return kExitFailed;
    }
    plan.dns_redirect = true;
  }
  // The address lines change nothing; one check after them covers both.
  PrintTunAddresses(plan.tun_name);
  // Opened before READY, so that the watch looks at the host right after
  // it. Without the firewall's notifications the firewall is looked at
  // periodically instead (watch/keep_in_place.h).
  const int firewall_fd = OpenFirewallEvents();
  EndIfStopRequested(StartStage::kDnsRedirect, plan, &engine, &monitor);
  PrintStatusLine("READY");
  // A client that could not read READY has gone and will never stop the run.
  if (g_status_line_failed.load()) {
    UndoStart(StartStage::kDnsRedirect, plan, &engine, &monitor);
    EndBySignal(SIGPIPE);
  }

  std::vector<ExtraWatch> watches;
  if (firewall_fd >= 0) watches.push_back({firewall_fd, DrainFirewallEvents, true});
  WatchWhileReady(&plan, watches);
  if (firewall_fd >= 0) close(firewall_fd);

  // After READY a further signal changes nothing: the teardown runs to its end.
  UndoStart(StartStage::kDnsRedirect, plan, &engine, &monitor);
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
