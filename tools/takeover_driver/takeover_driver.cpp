// Test-only driver: calls the pieces of a start that takes over a killed
// run directly, so a namespace test can check what each finds, changes and
// runs (under the command recorder) before the run mode uses them.
//
//   takeover_driver traces
//   takeover_driver app-routing apply|takeover MODE TUN GW4 DEV4 GW6 DEV6 APPS
//   takeover_driver app-routing-cleanup
//   takeover_driver remove-other-pins ADDR4S ADDR6S PREFIXES
//
// traces prints one line "NAME=present|absent|unknown" per trace, then
// "verdict=none|found|cannot-tell". app-routing applies the policy of MODE
// for the APPS (comma-separated) as a start does, or takes a killed run's
// over, and prints "OK" or "ERROR: " and the error text (exit status 0 or
// 2); app-routing-cleanup removes app routing as a run's teardown does. remove-other-pins removes the pins of every server but the one of
// these addresses and prefixes (comma-separated lists).

#include <iostream>
#include <string>
#include <vector>

#include "approuting/policy_apply.h"
#include "approuting/policy_cleanup.h"
#include "approuting/policy_takeover.h"
#include "recovery/killed_run_traces.h"
#include "recovery/pinned_routes.h"
#include "split_csv.h"

namespace {

int Usage() {
  std::cerr << "usage: takeover_driver traces\n"
               "       takeover_driver app-routing apply|takeover MODE TUN GW4 DEV4 GW6 DEV6 APPS\n"
               "       takeover_driver app-routing-cleanup\n"
               "       takeover_driver remove-other-pins ADDR4S ADDR6S PREFIXES\n";
  return 2;
}

const char* Word(TracePresence presence) {
  switch (presence) {
    case TracePresence::kPresent:
      return "present";
    case TracePresence::kAbsent:
      return "absent";
    case TracePresence::kUnknown:
      break;
  }
  return "unknown";
}

int PrintTraces() {
  const KilledRunTraces traces = ReadKilledRunTraces();
  const std::pair<const char*, TracePresence> lines[] = {
      {"kill_switch_chain4", traces.kill_switch_chain4},
      {"kill_switch_chain6", traces.kill_switch_chain6},
      {"kill_switch_guard", traces.kill_switch_guard},
      {"dns_redirect", traces.dns_redirect},
      {"app_guard_chain4", traces.app_guard_chain4},
      {"app_guard_chain6", traces.app_guard_chain6},
      {"app_group", traces.app_group},
      {"icmp_bypass_rule", traces.icmp_bypass_rule},
      {"app_rule4", traces.app_rule4},
      {"app_rule6", traces.app_rule6},
      {"lockdown_block", traces.lockdown_block}};
  for (const auto& line : lines) std::cout << line.first << "=" << Word(line.second) << "\n";
  const KilledRunVerdict verdict = JudgeKilledRunTraces(traces);
  std::cout << "verdict="
            << (verdict == KilledRunVerdict::kFound  ? "found"
                : verdict == KilledRunVerdict::kNone ? "none"
                                                     : "cannot-tell")
            << std::endl;
  return 0;
}

int AppRouting(const std::vector<std::string>& args) {
  AppRoutingPolicy policy;
  policy.enabled = true;
  policy.mode = args[2];
  policy.apps = SplitCsv(args[8]);
  const DefaultRouteInfo default4{args[4], args[5]};
  const DefaultRouteInfo default6{args[6], args[7]};
  std::string error;
  const bool ok = args[1] == "takeover"
                      ? TakeOverAppRoutingPolicy(policy, args[3], default4, default6, &error, true)
                      : ApplyAppRoutingPolicy(policy, args[3], default4, default6, &error, true);
  std::cout << (ok ? "OK" : "ERROR: " + error) << std::endl;
  return ok ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "traces") return PrintTraces();
  if (args.size() == 9 && args[0] == "app-routing" &&
      (args[1] == "apply" || args[1] == "takeover")) {
    return AppRouting(args);
  }
  if (args.size() == 1 && args[0] == "app-routing-cleanup") {
    CleanupAppRoutingPolicy();
    return 0;
  }
  if (args.size() == 4 && args[0] == "remove-other-pins") {
    ResolvedAddresses endpoint;
    endpoint.ipv4 = SplitCsv(args[1]);
    endpoint.ipv6 = SplitCsv(args[2]);
    RemoveOtherServersPins(endpoint, SplitCsv(args[3]));
    return 0;
  }
  return Usage();
}
