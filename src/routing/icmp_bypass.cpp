#include "routing/icmp_bypass.h"

#include <vector>

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
  return "ip route replace default via " + default4.gateway + " dev " + default4.dev + " table 100";
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

std::string IcmpBypassRuleCommand() { return "ip rule add fwmark 0x1 lookup 100 priority 100"; }

bool ListsIcmpBypassRule(const std::string& ip_rule_listing) {
  return ListsPolicyRule(ip_rule_listing, "100", "0x1", "100");
}

bool InstallIcmpMarkRule() {
  return RunShellCommand(IcmpMarkCommand("-C", kIcmpMarkRule) + kQuietSuffix) == 0 ||
         RunShellCommand(IcmpMarkCommand("-A", kIcmpMarkRule)) == 0;
}

bool ListsIcmpMarkRule(const std::string& mangle_listing) {
  // "--set-mark 1" is listed as the mark with its full mask.
  const std::string set_mark = "--set-mark 1";
  const std::string listed =
      kIcmpMarkRule.substr(0, kIcmpMarkRule.size() - set_mark.size()) + "--set-xmark 0x1/0xffffffff";
  for (const std::string& rule : ListedChainRules(mangle_listing, "OUTPUT")) {
    if (rule == listed) return true;
  }
  return false;
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

void RepinIcmpBypass(const DefaultRouteInfo& old4, const DefaultRouteInfo& new4) {
  // Someone else's routes in the table meanwhile: it is no longer the
  // bypass's to change.
  if (!IsIcmpBypassTableFree(ExecCommandOutput(kIcmpTableListing))) return;
  if (!IsUsableDefaultRoute(new4)) {
    // No physical path left: pings take the tunnel until one comes back.
    RunShellCommand(kTableRouteDelete);
    return;
  }
  if (new4.dev != old4.dev) {
    // The rules name the device: the old device's go (by their marker),
    // the new device's come, src_valid_mark with them.
    CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
    ApplyMarkedTraffic(IcmpBypassMarkedTraffic(new4.dev));
  }
  // Last: until it is replaced, table 100 names the gateway the helper's
  // other routes may still point at, which is how the cleanup mode finds
  // them after a crash in the middle of a move.
  RunShellCommand(TableRouteCommand(new4));
}
