#include "watch/wanted_state.h"

#include <optional>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "dns/dns_redirect.h"
#include "dns/dns_redirect_table.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_guard.h"
#include "routing/icmp_bypass.h"
#include "routing/marked_traffic.h"
#include "routing/src_valid_mark.h"
#include "routing/tun_routes.h"

// Screens: everything here comes from the plan, whose values passed their
// screens when the start installed the same pieces (the TUN name, the
// addresses and prefixes by parsing, the cgroup path), or from the view,
// whose default routes passed IsUsableDefaultRoute.

namespace {

bool InstallsTunRoutes(const TunnelPlan& plan) {
  return !(plan.policy.enabled && plan.policy.mode == "vpnOnlySelected");
}

bool SteersPrograms(const TunnelPlan& plan) {
  return plan.policy.enabled && !AppRoutingOwnedRule(kAppRoutingIpv4, plan.policy.mode).table.empty();
}

WantedFirewall& FirewallOf(WantedState* wanted, bool ipv6) {
  return ipv6 ? wanted->firewall6 : wanted->firewall4;
}

void WantMarkedTraffic(const std::optional<MarkedTraffic>& traffic, bool ipv6,
                       const std::string& piece, WantedState* wanted) {
  if (!traffic) return;
  for (const OwnedFirewallRule& rule : MarkedTrafficOwnedRules(*traffic)) {
    FirewallOf(wanted, ipv6).rules.push_back({rule.table, rule.chain, rule.rule, false, piece});
  }
  if (!ipv6) wanted->marked_devices.insert(traffic->device);
}

void WantKillSwitch(const TunnelPlan& plan, bool kernel_ipv6, WantedState* wanted) {
  if (!plan.kill_switch) return;
  const KillSwitchInputs inputs = KillSwitchInputsOf(plan, kernel_ipv6);
  const std::string jump = std::string("-j ") + kKillSwitchChain;
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !WantsIpv6KillSwitch(inputs)) continue;
    WantedFirewall& firewall = FirewallOf(wanted, ipv6);
    firewall.chains.push_back({"filter", kKillSwitchChain,
                               ipv6 ? KillSwitchIpv6Rules(inputs) : KillSwitchIpv4Rules(inputs),
                               "kill switch chain (" + firewall.tool + ")"});
    firewall.rules.push_back(
        {"filter", "OUTPUT", jump, true, "kill switch jump (" + firewall.tool + ")"});
  }
  if (!plan.kill_switch_guard) return;
  const std::vector<std::string> lines = KillSwitchGuardLines(inputs);
  wanted->nft_tables.push_back({"inet", kKillSwitchGuardTable, lines,
                                KillSwitchGuardInstallCommand(lines), nullptr, "kill switch guard"});
  if (!WantsKillSwitchBridgeTable(inputs)) return;
  wanted->nft_tables.push_back({"bridge", kKillSwitchGuardTable, KillSwitchBridgeTableLines(),
                                KillSwitchBridgeTableInstallCommand(), nullptr,
                                "kill switch guard (bridges)"});
}

// The app mark rule stands before the ICMP one in mangle OUTPUT, as the
// start installs them.
void WantAppRouting(const TunnelPlan& plan, const NetworkView& view, bool kernel_ipv6,
                    WantedState* wanted) {
  if (!SteersPrograms(plan)) return;
  const std::string& mode = plan.policy.mode;
  const std::string tun = view.tun_ifindex != 0 ? plan.tun_name : std::string();
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !kernel_ipv6) continue;
    const AppRoutingFamily& family = ipv6 ? kAppRoutingIpv6 : kAppRoutingIpv4;
    const DefaultRouteInfo& uplink = ipv6 ? view.default6 : view.default4;
    const std::string name = ipv6 ? "IPv6" : "IPv4";
    for (const OwnedRoute& route : AppRoutingOwnedRoutes(family, mode, tun, uplink)) {
      wanted->routes.push_back(route);
    }
    wanted->rules.push_back({AppRoutingOwnedRule(family, mode), "app routing policy rule (" + name + ")"});
    WantedFirewall& firewall = FirewallOf(wanted, ipv6);
    if (mode == "vpnOnlySelected") {
      const std::string piece = "app routing guard (" + firewall.tool + ")";
      firewall.chains.push_back({"mangle", kAppGuardChain, AppGuardChainRules(plan.tun_name), piece});
      firewall.rules.push_back({"mangle", "POSTROUTING", AppGuardJumpRule(), true, piece});
    }
    firewall.rules.push_back({"mangle", "OUTPUT", AppMarkRule(g_app_cgroup_match_path), false,
                              "app routing mark rule (" + firewall.tool + ")"});
    WantMarkedTraffic(AppRoutingMarkedTraffic(family, mode, plan.tun_name, uplink), ipv6,
                      "app routing NAT and connection marks (" + firewall.tool + ")", wanted);
  }
}

void WantIcmpBypass(const NetworkView& view, bool icmp_table_free, WantedState* wanted) {
  if (!IsUsableDefaultRoute(view.default4) || !icmp_table_free) return;
  wanted->icmp_bypass = true;
  wanted->routes.push_back(IcmpBypassTableRoute(view.default4));
  wanted->rules.push_back({IcmpBypassOwnedRule(), "ICMP bypass policy rule"});
  wanted->firewall4.rules.push_back(
      {"mangle", "OUTPUT", IcmpMarkRule(), false, "ICMP bypass mark rule"});
  WantMarkedTraffic(IcmpBypassMarkedTraffic(view.default4.dev), false,
                    "ICMP bypass NAT and connection marks", wanted);
}

}  // namespace

WantedState WantState(const TunnelPlan& plan, const NetworkView& view, bool icmp_table_free,
                      bool kernel_ipv6) {
  WantedState wanted;
  // Nothing is tried on a TUN device that is gone: its routes come back
  // with it.
  const bool tun_present = view.tun_ifindex != 0;
  if (InstallsTunRoutes(plan)) {
    if (tun_present) {
      for (const OwnedRoute& route : SplitOwnedRoutes(plan.tun_name, false)) wanted.routes.push_back(route);
      if (IsUsableDefaultRoute(view.default6)) {
        for (const OwnedRoute& route : SplitOwnedRoutes(plan.tun_name, true)) wanted.routes.push_back(route);
      }
    }
    for (const OwnedRoute& route : PinnedOwnedRoutes(plan.endpoint_host, view.default4, view.default6,
                                                   plan.endpoint, plan.bypass_prefixes)) {
      wanted.routes.push_back(route);
    }
  }
  WantKillSwitch(plan, kernel_ipv6, &wanted);
  WantAppRouting(plan, view, kernel_ipv6, &wanted);
  WantIcmpBypass(view, icmp_table_free, &wanted);
  if (plan.dns_redirect) {
    // Made again, the table redirects new lookups; a flow that began in
    // the gap keeps its entry unless that entry goes.
    const DnsRedirectInputs dns = DnsRedirectInputsOf(plan);
    wanted.nft_tables.push_back({"inet", kDnsRedirectTable, DnsRedirectTableLines(dns),
                                 DnsRedirectInstallCommand(dns),
                                 [dns] { DeleteFlowsTheRedirectCatches(dns); },
                                 "name-lookup redirect"});
  }
  return wanted;
}

void WantSrcValidMarkMarkers(const std::set<std::string>& devices, WantedState* wanted) {
  for (const std::string& device : devices) {
    wanted->firewall4.rules.push_back({"mangle", "PREROUTING", SrcValidMarkMarkerRule(device), false,
                                       "src_valid_mark marker (" + device + ")"});
  }
}
