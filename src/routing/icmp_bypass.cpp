#include "routing/icmp_bypass.h"

#include <vector>

#include "killswitch/firewall_save.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/route_listing.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/route_line.h"

// Ping queries the host itself sends are marked and routed by table 100,
// which holds only the physical default route, so ping keeps working
// outside the tunnel.

namespace {

// Only the host's own queries and the rest of their flows: conntrack calls
// an echo request NEW and its later packets ESTABLISHED, both in the
// original direction. An echo reply to a request that came in travels in
// the reply direction, and an error about another flow is RELATED, so
// neither is marked: both follow the flow they belong to, into the tunnel
// when it came through the tunnel. A packet that already carries a mark
// (0x66 of app routing) keeps it.
const std::string kIcmpMarkRule =
    std::string("-p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir "
                "ORIGINAL -m comment --comment ") +
    kIcmpBypassMarker + " -j MARK --set-mark 1";
// What older helpers installed; the cleanup still removes it.
constexpr const char* kOlderIcmpMarkRule = "-p icmp -j MARK --set-mark 1";

const char* kIcmpTableListing = "ip route show table 100 2>/dev/null";
const char* kIcmpRuleListing = "ip rule show fwmark 0x1 lookup 100 priority 100 2>/dev/null";

std::string RuleCommand(const std::string& action, const OwnedRule& rule) {
  return "ip rule " + action + " " + OwnedRuleText(rule);
}

std::string IcmpMarkCommand(const std::string& action, const std::string& rule) {
  return "iptables -t mangle " + action + " OUTPUT " + rule;
}

// Table 100's one route, for the install and the re-pin alike. A route
// without a gateway keeps "via 0.0.0.0", which the kernel lists as
// "default dev DEVICE".
std::string TableRouteCommand(const DefaultRouteInfo& default4) {
  return RouteCommand("replace", IcmpBypassTableRoute(default4));
}

constexpr const char* kTableRouteDelete = "ip route del default table 100 >/dev/null 2>&1";
// The kernel deletes the first rule that matches what a delete names, so
// the narrow rule goes by its own form first; then the older form, which
// took every protocol.
constexpr const char* kRuleDelete = "ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1";

// What older helpers installed: every protocol's packets with mark 1 went
// to table 100, so another program's mark 1 sent its traffic around the
// tunnel. Still recognised, and replaced, as the bypass's.
OwnedRule OlderIcmpBypassOwnedRule() { return {false, "100", "0x1", "100", ""}; }

bool ListsRule(const std::vector<ListedRule>& rules, const OwnedRule& owned) {
  for (const ListedRule& rule : rules) {
    if (ListedRuleIs(rule, owned)) return true;
  }
  return false;
}

// "default [via GATEWAY] dev DEVICE", as the bypass installs it, with the
// flags the kernel may add to a route whose link is down and the scope it
// gives a route without a gateway.
bool IsBypassRouteLine(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  size_t next = 1;
  if (words.empty() || words[0] != "default") return false;
  if (next + 1 < words.size() && words[next] == "via") next += 2;
  if (next + 1 >= words.size() || words[next] != "dev") return false;
  for (next += 2; next < words.size(); ++next) {
    if (words[next] == "scope" && next + 1 < words.size() && words[next + 1] == "link") {
      ++next;
    } else if (words[next] != "linkdown" && words[next] != "onlink" && words[next] != "dead") {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsIcmpBypassTableFree(const std::string& table_listing, const DefaultRouteInfo& default4) {
  for (const std::string& line : SplitLines(table_listing)) {
    if (Trim(line).empty()) continue;
    if (!IsBypassRouteLine(line) || !ListsNextHopOf(line, default4)) return false;
  }
  return true;
}

OwnedRoute IcmpBypassTableRoute(const DefaultRouteInfo& default4) {
  OwnedRoute route;
  route.destination = "default";
  route.gateway = default4.gateway;
  route.dev = default4.dev;
  route.table = "100";
  return route;
}

DefaultRouteInfo ParseIcmpBypassTableRoute(const std::string& table_listing) {
  DefaultRouteInfo route;
  for (const std::string& line : SplitLines(table_listing)) {
    if (Trim(line).empty()) continue;
    // A second route, or any other, is not what the bypass leaves.
    if (!route.dev.empty() || !IsBypassRouteLine(line)) return {};
    route = ParseListedNextHop(line);
  }
  return route;
}

bool IsIcmpBypassTableOwned(const std::string& table_listing, const std::string& rule_listing) {
  if (!ListsIcmpBypassRule(rule_listing)) return false;
  return Trim(table_listing).empty() || !ParseIcmpBypassTableRoute(table_listing).dev.empty();
}

DefaultRouteInfo ReadOwnedIcmpBypassRoute() {
  // The table as the cleanup mode has always listed it.
  const std::string table_listing = ExecCommandOutput("ip -4 route show table 100 2>/dev/null");
  if (!IsIcmpBypassTableOwned(table_listing, ExecCommandOutput(kIcmpRuleListing))) return {};
  return ParseIcmpBypassTableRoute(table_listing);
}

std::string IcmpBypassSkipReason(IcmpBypassResult result) {
  switch (result) {
    case IcmpBypassResult::kInstalled:
      break;
    case IcmpBypassResult::kNoDefaultRoute:
      return "no usable IPv4 default route";
    case IcmpBypassResult::kTableInUse:
      return "routing table 100 holds routes of another owner";
    case IcmpBypassResult::kMarkRuleRefused:
      return "the firewall refused its mark rule";
  }
  return {};
}

bool ListsIcmpBypassRule(const std::string& ip_rule_listing) {
  for (const ListedRule& rule : ParseRuleListing(ip_rule_listing)) {
    if (IsIcmpBypassRule(rule)) return true;
  }
  return false;
}

// Only ICMP: another program that marks its own packets 1 (a common
// choice) keeps them in the tunnel.
OwnedRule IcmpBypassOwnedRule() { return {false, "100", "0x1", "100", "icmp"}; }

bool IsIcmpBypassRule(const ListedRule& rule) {
  return ListedRuleIs(rule, IcmpBypassOwnedRule()) || ListedRuleIs(rule, OlderIcmpBypassOwnedRule());
}

std::string IcmpMarkRule() { return kIcmpMarkRule; }

bool IsIcmpMarkRule(const std::string& listed_rule) {
  return HasCommentMarker(listed_rule, kIcmpBypassMarker) ||
         SameFirewallRule(listed_rule, kOlderIcmpMarkRule);
}

std::string IcmpBypassRuleCommand() { return RuleCommand("add", IcmpBypassOwnedRule()); }

bool InstallIcmpMarkRule() {
  return RunShellCommand(IcmpMarkCommand("-C", kIcmpMarkRule) + kQuietSuffix) == 0 ||
         RunShellCommand(IcmpMarkCommand("-A", kIcmpMarkRule)) == 0;
}

// A ping's source was chosen on the tunnel's route before the mark moved it
// to the physical device: it needs that device's address to be answered.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device) {
  return {"iptables", "0x1", device, kIcmpBypassMarker, "icmp"};
}

IcmpBypassResult ApplyIcmpBypass(const DefaultRouteInfo& default4) {
  // Gateway and device go into a command: both must be safe words (or the
  // gateway absent).
  if (!IsUsableDefaultRoute(default4)) return IcmpBypassResult::kNoDefaultRoute;
  // A route already in the table is the bypass's (a killed run's, say) only
  // while the bypass's rule is there too: one of the same shape without it
  // is another owner's (a second uplink through the same gateway), however
  // much it looks like ours.
  const std::string table_listing = ExecCommandOutput(kIcmpTableListing);
  const std::string rule_listing = ExecCommandOutput(kIcmpRuleListing);
  if (!Trim(table_listing).empty() && !IsIcmpBypassTableOwned(table_listing, rule_listing)) {
    return IcmpBypassResult::kTableInUse;
  }
  // The rule before the route: the cleanup mode takes a route in table 100
  // for the bypass's only while this rule is there, so a run killed in
  // between leaves nothing it cannot find. Until the route comes, marked
  // pings find nothing in the table and take the main table.
  // The kernel refuses an exact duplicate with a message; a second call
  // adds nothing and stays quiet. An older helper's rule, which took every
  // protocol, goes first: with the narrow rule in place the delete could
  // take that one instead.
  const std::vector<ListedRule> rules = ParseRuleListing(rule_listing);
  if (!ListsRule(rules, IcmpBypassOwnedRule())) {
    if (ListsRule(rules, OlderIcmpBypassOwnedRule())) {
      RunShellCommand(RuleCommand("del", OlderIcmpBypassOwnedRule()) + kQuietSuffix);
    }
    RunShellCommand(IcmpBypassRuleCommand());
  }
  RunShellCommand(TableRouteCommand(default4));
  if (!InstallIcmpMarkRule()) {
    // Without the mark the table and rule serve nothing.
    CleanupIcmpBypass(default4);
    return IcmpBypassResult::kMarkRuleRefused;
  }
  ApplyMarkedTraffic(IcmpBypassMarkedTraffic(default4.dev));
  return IcmpBypassResult::kInstalled;
}

namespace {

// Both removals start with the marking rules (this form and the older one
// that marked every ICMP packet) and read table 100 only after them.
void RemoveIcmpMarkRules() {
  RunShellCommand(IcmpMarkCommand("-D", kIcmpMarkRule) + kQuietSuffix);
  RunShellCommand(IcmpMarkCommand("-D", kOlderIcmpMarkRule) + kQuietSuffix);
}

void RemoveIcmpTableRouteAndRule() {
  RunShellCommand(RuleCommand("del", IcmpBypassOwnedRule()) + kQuietSuffix);
  RunShellCommand(kRuleDelete);
  RunShellCommand(kTableRouteDelete);
}

}  // namespace

void CleanupIcmpBypass(const DefaultRouteInfo& default4) {
  RemoveIcmpMarkRules();
  // A table that holds anything but the route the run put there was never
  // the bypass's, or is no longer: its routes and the rule that leads to it
  // stay.
  if (IsIcmpBypassTableFree(ExecCommandOutput(kIcmpTableListing), default4)) {
    RemoveIcmpTableRouteAndRule();
  }
  CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
}

void CleanupStaleIcmpBypass() {
  RemoveIcmpMarkRules();
  // No memory of the run's default route: the bypass's own rule is what
  // says that a lone default route in table 100 is the bypass's.
  const std::string table_listing = ExecCommandOutput(kIcmpTableListing);
  if (IsIcmpBypassTableOwned(table_listing, ExecCommandOutput(kIcmpRuleListing))) {
    RemoveIcmpTableRouteAndRule();
  }
  CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
}
