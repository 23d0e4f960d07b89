#include "routing/icmp_bypass.h"

#include <vector>

#include "killswitch/firewall_save.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

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

std::string IcmpMarkCommand(const std::string& action, const std::string& rule) {
  return "iptables -t mangle " + action + " OUTPUT " + rule;
}

// Table 100's one route, for the install and the re-pin alike.
std::string TableRouteCommand(const DefaultRouteInfo& default4) {
  return RouteCommand("replace", IcmpBypassTableRoute(default4));
}

constexpr const char* kTableRouteDelete = "ip route del default table 100 >/dev/null 2>&1";

// "default via GATEWAY dev DEVICE", as the bypass installs it, with the
// flags the kernel may add to a route whose link is down.
bool IsBypassRouteLine(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  if (words.size() < 5 || words[0] != "default" || words[1] != "via" || words[3] != "dev") {
    return false;
  }
  for (size_t i = 5; i < words.size(); ++i) {
    if (words[i] != "linkdown" && words[i] != "onlink" && words[i] != "dead") return false;
  }
  return true;
}

}  // namespace

bool IsIcmpBypassTableFree(const std::string& table_listing) {
  for (const std::string& line : SplitLines(table_listing)) {
    if (!Trim(line).empty() && !IsBypassRouteLine(line)) return false;
  }
  return true;
}

RouteSpec IcmpBypassTableRoute(const DefaultRouteInfo& default4) {
  RouteSpec route;
  route.destination = "default";
  route.gateway = default4.gateway;
  route.dev = default4.dev;
  route.table = "100";
  return route;
}

RuleSpec IcmpBypassRuleSpec() { return {false, "100", "0x1", "100"}; }

std::string IcmpMarkRule() { return kIcmpMarkRule; }

bool IsIcmpMarkRule(const std::string& listed_rule) {
  return HasCommentMarker(listed_rule, kIcmpBypassMarker) ||
         SameFirewallRule(listed_rule, kOlderIcmpMarkRule);
}

std::string IcmpBypassRuleCommand() { return "ip rule add " + RuleSpecText(IcmpBypassRuleSpec()); }

bool InstallIcmpMarkRule() {
  return RunShellCommand(IcmpMarkCommand("-C", kIcmpMarkRule) + kQuietSuffix) == 0 ||
         RunShellCommand(IcmpMarkCommand("-A", kIcmpMarkRule)) == 0;
}

// A ping's source was chosen on the tunnel's route before the mark moved it
// to the physical device: it needs that device's address to be answered.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device) {
  return {"iptables", "0x1", device, kIcmpBypassMarker};
}

IcmpBypassResult ApplyIcmpBypass(const DefaultRouteInfo& default4) {
  // Gateway and device go into a command: both must be safe words.
  if (!IsUsableDefaultRoute(default4)) return IcmpBypassResult::kNoDefaultRoute;
  if (!IsIcmpBypassTableFree(ExecCommandOutput(kIcmpTableListing))) {
    return IcmpBypassResult::kTableInUse;
  }
  RunShellCommand(TableRouteCommand(default4));
  // The kernel refuses an exact duplicate with a message; a second call
  // adds nothing and stays quiet.
  if (Trim(ExecCommandOutput(kIcmpRuleListing)).empty()) RunShellCommand(IcmpBypassRuleCommand());
  InstallIcmpMarkRule();
  ApplyMarkedTraffic(IcmpBypassMarkedTraffic(default4.dev));
  return IcmpBypassResult::kInstalled;
}

void CleanupIcmpBypass(const DefaultRouteInfo&) {
  // Names no gateway or device, so the stale-state cleanup can call it
  // without knowing what an earlier run recorded.
  RunShellCommand(IcmpMarkCommand("-D", kIcmpMarkRule) + kQuietSuffix);
  RunShellCommand(IcmpMarkCommand("-D", kOlderIcmpMarkRule) + kQuietSuffix);
  // A table that holds someone else's routes was never the bypass's: its
  // routes and the rule that leads to it stay.
  if (IsIcmpBypassTableFree(ExecCommandOutput(kIcmpTableListing))) {
    RunShellCommand("ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1");
    RunShellCommand(kTableRouteDelete);
  }
  CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
}
