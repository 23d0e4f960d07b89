#include "keep_installed.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "approuting/policy_apply.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_repair.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/marked_traffic.h"
#include "routing/src_valid_mark.h"

// Screens: nothing read from the host goes into a command here. Every
// command is built from the plan's values, which passed their screens when
// the start installed the same pieces (the TUN name in
// ApplyKillSwitchPolicy, the addresses and prefixes by parsing, the
// default routes by IsUsableDefaultRoute, the cgroup path in
// EnsureAppRoutingCgroup), or from rule positions the helper counts itself.

namespace {

constexpr int64_t kFirstPauseMs = 1000;
constexpr int64_t kLongestPauseMs = 30000;
constexpr int64_t kKillSwitchLongestPauseMs = 1000;
constexpr int64_t kCalmMs = 60000;
constexpr int64_t kFirstRetryMs = 50;

// A piece found missing or out of place, and how to put it back.
struct GonePiece {
  std::string key;                 // its backoff record
  std::vector<std::string> names;  // one "INFO: restored NAME" line each
  bool kill_switch = false;
  std::function<bool()> restore;  // true when every command succeeded
};

// What one address family lists, each table read at most once per check;
// empty text where the tool could not list it (then nothing is restored
// from it) or where nothing of the plan lives.
struct FamilyListings {
  std::string mangle;
  std::string nat_postrouting;
  std::string rules;
};

struct Family {
  const AppRoutingFamily& tools;
  const char* name;  // "IPv4" or "IPv6"
  const DefaultRouteInfo& default_route;
};

std::string List(const std::string& command) { return ExecCommandOutput(command + " 2>/dev/null"); }

// Stops at the first failure: a kill switch repair must not go on to delete
// old rules below a chain it could not complete.
bool RunInOrder(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    if (RunShellCommand(command) != 0) return false;
  }
  return true;
}

bool SteersPrograms(const TunnelPlan& plan) {
  return plan.policy.enabled && !AppRoutingRuleCommand(kAppRoutingIpv4, plan.policy.mode).empty();
}

// A repair that fails most often met another change of the same table (a
// reload's next command): it is planned again from a fresh listing once
// that change has had its turn, and tried once more.
bool RepairKillSwitch(const std::string& tool, const std::vector<std::string>& rules,
                      const std::vector<std::string>& commands) {
  if (RunInOrder(commands)) return true;
  const KillSwitchListing listing = ParseKillSwitchListing(List(tool + " -S"));
  return listing.readable && RunInOrder(PlanKillSwitchRepair(tool, rules, listing).commands);
}

void FindKillSwitch(const std::string& tool, const std::vector<std::string>& rules,
                    const std::string& filter_listing, std::vector<GonePiece>* gone) {
  const KillSwitchRepair repair =
      PlanKillSwitchRepair(tool, rules, ParseKillSwitchListing(filter_listing));
  if (repair.commands.empty()) return;
  GonePiece piece{"kill switch (" + tool + ")", {}, true,
                  [tool, rules, commands = repair.commands] {
                    return RepairKillSwitch(tool, rules, commands);
                  }};
  if (repair.chain) piece.names.push_back("kill switch chain (" + tool + ")");
  if (repair.jump) piece.names.push_back("kill switch jump (" + tool + ")");
  gone->push_back(piece);
}

void FindMarkedTraffic(const std::string& name, const std::optional<MarkedTraffic>& traffic,
                       const FamilyListings& listed, std::vector<GonePiece>* gone) {
  if (!traffic || listed.mangle.empty() || listed.nat_postrouting.empty() ||
      ListsMarkedTraffic(*traffic, {listed.nat_postrouting, listed.mangle, listed.mangle})) {
    return;
  }
  gone->push_back({name, {name}, false, [traffic] { return ApplyMarkedTraffic(*traffic); }});
}

void FindAppRouting(const TunnelPlan& plan, const Family& family, const FamilyListings& listed,
                    std::vector<GonePiece>* gone) {
  const std::string& mode = plan.policy.mode;
  const std::string tool = family.tools.firewall;
  if (!listed.rules.empty() && !ListsAppRoutingRule(listed.rules, mode)) {
    const std::string name = std::string("app routing policy rule (") + family.name + ")";
    const std::string command = AppRoutingRuleCommand(family.tools, mode);
    gone->push_back({name, {name}, false, [command] { return RunShellCommand(command) == 0; }});
  }
  if (mode == "vpnOnlySelected" && !listed.mangle.empty() &&
      !ListsAppGuard(listed.mangle, plan.tun_name)) {
    // Before the mark rule, as at start: no marked packet without it.
    // Rebuilt as installed, the chain emptied and filled and the jump added
    // when missing; the chain is only rebuilt when it is already wrong.
    const std::string name = "app routing guard (" + tool + ")";
    const std::vector<std::string> commands = AppGuardInstallCommands(family.tools, plan.tun_name);
    gone->push_back({name, {name}, false, [commands] { return RunInOrder(commands); }});
  }
  if (!listed.mangle.empty() && !ListsAppMarkRule(listed.mangle, g_app_cgroup_match_path)) {
    const std::string name = "app routing mark rule (" + tool + ")";
    const AppRoutingFamily* tools = &family.tools;
    gone->push_back({name, {name}, false, [tools] { return InstallAppMarkRule(*tools); }});
  }
  FindMarkedTraffic(
      "app routing NAT and connection marks (" + tool + ")",
      AppRoutingMarkedTraffic(family.tools, mode, plan.tun_name, family.default_route), listed,
      gone);
}

void FindIcmpBypass(const TunnelPlan& plan, const FamilyListings& listed,
                    std::vector<GonePiece>* gone) {
  if (!listed.rules.empty() && !ListsIcmpBypassRule(listed.rules)) {
    gone->push_back({"ICMP bypass policy rule", {"ICMP bypass policy rule"}, false, [] {
                       return RunShellCommand(IcmpBypassRuleCommand()) == 0;
                     }});
  }
  if (!listed.mangle.empty() && !ListsIcmpMarkRule(listed.mangle)) {
    gone->push_back(
        {"ICMP bypass mark rule", {"ICMP bypass mark rule"}, false, InstallIcmpMarkRule});
  }
  FindMarkedTraffic("ICMP bypass NAT and connection marks",
                    IcmpBypassMarkedTraffic(plan.default4.dev), listed, gone);
}

// A reload that takes the marker leaves the value raised; without the
// marker the teardown would not put the 0 back. Only devices the plan's
// marked traffic still uses, and only where the helper placed a marker.
void FindSrcValidMarkMarkers(const std::set<std::string>& devices,
                             const std::string& mangle_listing, std::set<std::string>* remembered,
                             std::vector<GonePiece>* gone) {
  const std::set<std::string> listed = SrcValidMarkMarkedDevices(mangle_listing);
  std::set<std::string> marked;
  for (const std::string& device : devices) {
    if (listed.count(device) == 0 && remembered->count(device) == 0) continue;
    marked.insert(device);
    if (listed.count(device) != 0) continue;
    const std::string name = "src_valid_mark marker (" + device + ")";
    gone->push_back({name, {name}, false, [device] { return InstallSrcValidMarkMarker(device); }});
  }
  *remembered = marked;
}

// As the start decides it.
bool HasIpv6KillSwitch(const TunnelPlan& plan) {
  return WantsIpv6KillSwitch(KillSwitchInputsOf(plan, KernelHasIpv6()));
}

// The kill switch of both families, read and restored before anything
// else: until it is back, traffic leaks.
std::vector<GonePiece> FindGoneKillSwitch(const TunnelPlan& plan) {
  std::vector<GonePiece> gone;
  if (!plan.kill_switch) return gone;
  const KillSwitchInputs inputs = KillSwitchInputsOf(plan, KernelHasIpv6());
  FindKillSwitch("iptables", KillSwitchIpv4Rules(inputs), List("iptables -S"), &gone);
  if (HasIpv6KillSwitch(plan)) {
    FindKillSwitch("ip6tables", KillSwitchIpv6Rules(inputs), List("ip6tables -S"), &gone);
  }
  return gone;
}

// The policy rules and the mark and NAT rules, in the order the start
// installs them: the app mark rule before the ICMP one in mangle OUTPUT, so
// a selected program's ping still ends up with the ICMP mark.
std::vector<GonePiece> FindGoneRouting(const TunnelPlan& plan, KeepInstalledState* state) {
  std::vector<GonePiece> gone;
  const bool steers = SteersPrograms(plan);
  const bool icmp = plan.icmp_bypass && IsUsableDefaultRoute(plan.default4);
  const Family families[] = {{kAppRoutingIpv4, "IPv4", plan.default4},
                             {kAppRoutingIpv6, "IPv6", plan.default6}};
  for (const Family& family : families) {
    const bool is_ipv4 = &family == &families[0];
    if (!steers && !(is_ipv4 && icmp)) continue;
    if (!is_ipv4 && !KernelHasIpv6()) continue;
    const std::string tool = family.tools.firewall;
    const FamilyListings listed{List(tool + " -t mangle -S"), List(tool + " -t nat -S POSTROUTING"),
                                List(std::string(family.tools.ip) + " rule show")};
    if (steers) FindAppRouting(plan, family, listed, &gone);
    if (!is_ipv4) continue;
    if (icmp) FindIcmpBypass(plan, listed, &gone);
    if (listed.mangle.empty()) continue;
    std::set<std::string> devices;
    if (icmp) devices.insert(plan.default4.dev);
    const std::optional<MarkedTraffic> app =
        AppRoutingMarkedTraffic(family.tools, plan.policy.mode, plan.tun_name, plan.default4);
    if (steers && app) devices.insert(app->device);
    FindSrcValidMarkMarkers(devices, listed.mangle, &state->src_valid_mark_markers, &gone);
  }
  return gone;
}

int64_t Earliest(int64_t deadline, int64_t candidate) {
  return deadline < 0 ? candidate : std::min(deadline, candidate);
}

// Puts back each piece whose pause is over; returns the earliest moment a
// piece held back or not put back wants another try, or -1.
int64_t RestorePieces(const std::vector<GonePiece>& gone, KeepInstalledState* state,
                      int64_t now_ms) {
  int64_t deadline = -1;
  for (const GonePiece& piece : gone) {
    PieceBackoff& backoff = state->backoff[piece.key];
    if (now_ms < backoff.next_allowed_ms) {
      deadline = Earliest(deadline, backoff.next_allowed_ms);
      continue;
    }
    if (piece.restore()) {
      for (const std::string& name : piece.names) PrintStatusLine("INFO: restored " + name);
      NoteRestored(&backoff, now_ms, piece.kill_switch);
      continue;
    }
    // Said once per run of failures; the piece is tried again regardless.
    if (backoff.failures == 0) {
      for (const std::string& name : piece.names)
        PrintStatusLine("INFO: could not restore " + name);
    }
    NoteRestoreFailed(&backoff, now_ms, piece.kill_switch);
    deadline = Earliest(deadline, backoff.next_allowed_ms);
  }
  return deadline;
}

}  // namespace

void NoteRestored(PieceBackoff* backoff, int64_t now_ms, bool kill_switch) {
  const bool calm = backoff->pause_ms == 0 || now_ms - backoff->last_restored_ms > kCalmMs;
  const int64_t longest = kill_switch ? kKillSwitchLongestPauseMs : kLongestPauseMs;
  backoff->pause_ms = calm ? kFirstPauseMs : std::min(backoff->pause_ms * 2, longest);
  backoff->last_restored_ms = now_ms;
  backoff->failures = 0;
  backoff->next_allowed_ms = now_ms + backoff->pause_ms;
}

void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, bool kill_switch) {
  const int64_t longest = kill_switch ? kKillSwitchLongestPauseMs : kLongestPauseMs;
  const int doublings = std::min(backoff->failures, 10);
  backoff->failures += 1;
  backoff->next_allowed_ms = now_ms + std::min(kFirstRetryMs << doublings, longest);
}

int64_t KeepInstalledPieces(const TunnelPlan& plan, KeepInstalledState* state, int64_t now_ms) {
  int64_t deadline = RestorePieces(FindGoneKillSwitch(plan), state, now_ms);
  const int64_t routing = RestorePieces(FindGoneRouting(plan, state), state, now_ms);
  if (routing >= 0) deadline = Earliest(deadline, routing);
  const bool firewall_pieces = plan.kill_switch || plan.icmp_bypass || SteersPrograms(plan);
  if (firewall_pieces && !state->firewall_events) {
    deadline = Earliest(deadline, now_ms + kFirewallCheckPeriodMs);
  }
  return deadline;
}
