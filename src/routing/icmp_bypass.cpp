#include "routing/icmp_bypass.h"

#include "lifecycle/rule_listing.h"
#include "lifecycle/shell.h"

// Locally generated ICMP is marked and routed by table 100, which holds only
// the physical default route, so ping keeps working outside the tunnel.

namespace {

std::string IcmpMarkRuleCommand(const std::string& action) {
  return "iptables -t mangle " + action + " OUTPUT -p icmp -j MARK --set-mark 1";
}

// Table 100's one route, for the install and the re-pin alike.
std::string TableRouteCommand(const DefaultRouteInfo& default4) {
  return "ip route replace default via " + default4.gateway + " dev " + default4.dev + " table 100";
}

constexpr const char* kTableRouteDelete = "ip route del default table 100 >/dev/null 2>&1";

}  // namespace

std::string IcmpBypassRuleCommand() { return "ip rule add fwmark 0x1 lookup 100 priority 100"; }

bool ListsIcmpBypassRule(const std::string& ip_rule_listing) {
  return ListsPolicyRule(ip_rule_listing, "100", "0x1", "100");
}

bool InstallIcmpMarkRule() {
  return RunShellCommand(IcmpMarkRuleCommand("-C") + kQuietSuffix) == 0 ||
         RunShellCommand(IcmpMarkRuleCommand("-A")) == 0;
}

bool ListsIcmpMarkRule(const std::string& mangle_listing) {
  // "--set-mark 1" is listed as the mark with its full mask.
  for (const std::string& rule : ListedChainRules(mangle_listing, "OUTPUT")) {
    if (rule == "-p icmp -j MARK --set-xmark 0x1/0xffffffff") return true;
  }
  return false;
}

// A ping's source was chosen on the tunnel's route before the mark moved it
// to the physical device: it needs that device's address to be answered.
MarkedTraffic IcmpBypassMarkedTraffic(const std::string& device) {
  return {"iptables", "0x1", device, kIcmpBypassMarker};
}

void ApplyIcmpBypass(const DefaultRouteInfo& default4) {
  // Gateway and device go into a command: both must be safe words.
  if (!IsUsableDefaultRoute(default4)) return;
  RunShellCommand(TableRouteCommand(default4));
  RunShellCommand(IcmpBypassRuleCommand());
  InstallIcmpMarkRule();
  ApplyMarkedTraffic(IcmpBypassMarkedTraffic(default4.dev));
}

void CleanupIcmpBypass(const DefaultRouteInfo&) {
  // Names no gateway or device, so the stale-state cleanup can call it
  // without knowing what an earlier run recorded.
  RunShellCommand(IcmpMarkRuleCommand("-D") + kQuietSuffix);
  RunShellCommand("ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1");
  RunShellCommand(kTableRouteDelete);
  CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
}

void RepinIcmpBypass(const DefaultRouteInfo& old4, const DefaultRouteInfo& new4) {
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
