#include "routing/icmp_bypass.h"

#include "lifecycle/shell.h"
#include "routing/marked_traffic.h"

// Locally generated ICMP is marked and routed by table 100, which holds only
// the physical default route, so ping keeps working outside the tunnel.

namespace {

// A ping's source was chosen on the tunnel's route before the mark moved it
// to the physical device: it needs that device's address to be answered.
MarkedTraffic ReroutedPings(const std::string& device) {
  return {"iptables", "0x1", device, kIcmpBypassMarker};
}

}  // namespace

void ApplyIcmpBypass(const DefaultRouteInfo& default4) {
  // Gateway and device go into a command: both must be safe words.
  if (!IsUsableDefaultRoute(default4)) return;
  RunShellCommand("ip route replace default via " + default4.gateway + " dev " + default4.dev +
                  " table 100");
  RunShellCommand("ip rule add fwmark 0x1 lookup 100 priority 100");
  // Appending only when the check fails keeps a single marking rule.
  if (RunShellCommand("iptables -t mangle -C OUTPUT -p icmp -j MARK --set-mark 1 >/dev/null 2>&1") !=
      0) {
    RunShellCommand("iptables -t mangle -A OUTPUT -p icmp -j MARK --set-mark 1");
  }
  ApplyMarkedTraffic(ReroutedPings(default4.dev));
}

void CleanupIcmpBypass(const DefaultRouteInfo&) {
  // Names no gateway or device, so the stale-state cleanup can call it
  // without knowing what an earlier run recorded.
  RunShellCommand("iptables -t mangle -D OUTPUT -p icmp -j MARK --set-mark 1 >/dev/null 2>&1");
  RunShellCommand("ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1");
  RunShellCommand("ip route del default table 100 >/dev/null 2>&1");
  CleanupMarkedTraffic("iptables", kIcmpBypassMarker);
}
