#include "watch/wanted_state.h"

#include <optional>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "dns/dns_redirect.h"
#include "dns/dns_redirect_table.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_guard.h"
#include "killswitch/lockdown_block.h"
#include "routing/icmp_bypass.h"
#include "routing/marked_traffic.h"
#include "routing/src_valid_mark.h"
#include "routing/tun_routes.h"

// Screens: everything here comes from the plan, whose values passed their
// screens when the start installed the same pieces (the TUN name, the
// addresses and prefixes by parsing, the cgroup path), or from the view,
// whose default routes passed IsUsableDefaultRoute.

namespace {

constexpr const char* kGuardPiece = "kill switch guard";

bool SteersPrograms(const TunnelPlan& plan) {
  return plan.policy.enabled && !AppRoutingOwnedRule(kAppRoutingIpv4, plan.policy.mode).table.empty();
}

std::string ToolOf(bool ipv6) { return ipv6 ? "ip6tables" : "iptables"; }

WantedPiece Piece(const std::string& name, bool ipv6) {
  WantedPiece piece;
  piece.name = name;
  piece.ipv6 = ipv6;
  return piece;
}

void WantMarkedTraffic(const std::optional<MarkedTraffic>& traffic, bool ipv6,
                       const std::string& name, WantedState* wanted) {
  if (!traffic) return;
  WantedPiece piece = Piece(name, ipv6);
  for (const OwnedFirewallRule& rule : MarkedTrafficOwnedRules(*traffic)) {
    piece.chain_rules.push_back({rule.table, rule.chain, rule.rule, false});
  }
  wanted->pieces.push_back(piece);
  if (!ipv6) wanted->marked_devices.insert(traffic->device);
}

// The chain and its jump leak when they are gone, unless the guard's table
// stands meanwhile: its base chains keep the same promise whatever rule
// another program puts first. The guard alone holds forwarded traffic.
void WantKillSwitch(const TunnelPlan& plan, bool kernel_ipv6, WantedState* wanted) {
  if (!plan.kill_switch) return;
  const KillSwitchInputs inputs = KillSwitchInputsOf(plan, kernel_ipv6);
  const std::string covered_by = plan.kill_switch_guard ? kGuardPiece : "";
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !WantsIpv6KillSwitch(inputs)) continue;
    WantedPiece chain = Piece("kill switch chain (" + ToolOf(ipv6) + ")", ipv6);
    chain.absence_leaks = true;
    chain.covered_by = covered_by;
    chain.chains.push_back({"filter", kKillSwitchChain,
                            ipv6 ? KillSwitchIpv6Rules(inputs) : KillSwitchIpv4Rules(inputs)});
    WantedPiece jump = Piece("kill switch jump (" + ToolOf(ipv6) + ")", ipv6);
    jump.absence_leaks = true;
    jump.covered_by = covered_by;
    jump.chain_rules.push_back({"filter", "OUTPUT", std::string("-j ") + kKillSwitchChain, true});
    wanted->pieces.push_back(chain);
    wanted->pieces.push_back(jump);
  }
  if (!plan.kill_switch_guard) return;
  WantedPiece guard = Piece(kGuardPiece, false);
  guard.absence_leaks = true;
  guard.nft_tables.push_back({"inet", kKillSwitchGuardTable,
                              KillSwitchGuardInstallCommand(KillSwitchGuardLines(inputs))});
  wanted->pieces.push_back(guard);
  // Marks the frames bridged on an uplink bridge, so the guard lets them stay
  // on it. Gone, those frames are judged as the host's routed traffic and
  // refused: a cut, no leak.
  if (!WantsKillSwitchBridgeTable(inputs)) return;
  WantedPiece bridges = Piece("kill switch guard (bridges)", false);
  bridges.nft_tables.push_back({"bridge", kKillSwitchGuardTable, KillSwitchBridgeTableInstallCommand()});
  wanted->pieces.push_back(bridges);
}

// The app mark rule stands before the ICMP one in mangle OUTPUT, as the
// start installs them. A tunnel-only program's traffic leaves physically
// when its mark, its policy rule or the guard that drops what would leave
// elsewhere is gone; a bypassed program's only goes through the tunnel
// then, which is no leak.
void WantAppRouting(const TunnelPlan& plan, const NetworkView& view, bool kernel_ipv6,
                    WantedState* wanted) {
  if (!SteersPrograms(plan)) return;
  const std::string& mode = plan.policy.mode;
  const std::string tun = view.tun_ifindex != 0 ? plan.tun_name : std::string();
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !kernel_ipv6) continue;
    const AppRoutingFamily& family = ipv6 ? kAppRoutingIpv6 : kAppRoutingIpv4;
    const DefaultRouteInfo& uplink = ipv6 ? view.default6 : view.default4;
    const std::string tool = ToolOf(ipv6);
    for (const OwnedRoute& route : AppRoutingOwnedRoutes(family, mode, tun, uplink)) {
      wanted->routes.push_back(route);
    }
    const bool tunnel_only = mode == "vpnOnlySelected";
    WantedPiece rule = Piece(std::string("app routing policy rule (") + (ipv6 ? "IPv6" : "IPv4") + ")", ipv6);
    rule.absence_leaks = tunnel_only;
    rule.rules.push_back(AppRoutingOwnedRule(family, mode));
    wanted->pieces.push_back(rule);
    if (tunnel_only) {
      WantedPiece guard = Piece("app routing guard (" + tool + ")", ipv6);
      guard.absence_leaks = true;
      guard.chains.push_back({"mangle", kAppGuardChain, AppGuardChainRules(plan.tun_name)});
      guard.chain_rules.push_back({"mangle", "POSTROUTING", AppGuardJumpRule(), true});
      wanted->pieces.push_back(guard);
    }
    WantedPiece mark = Piece("app routing mark rule (" + tool + ")", ipv6);
    mark.absence_leaks = tunnel_only;
    mark.chain_rules.push_back({"mangle", "OUTPUT", AppMarkRule(g_app_cgroup_match_path), false});
    wanted->pieces.push_back(mark);
    WantMarkedTraffic(AppRoutingMarkedTraffic(family, mode, plan.tun_name, uplink), ipv6,
                      "app routing NAT and connection marks (" + tool + ")", wanted);
  }
}

void WantIcmpBypass(const NetworkView& view, bool icmp_table_free, WantedState* wanted) {
  if (!IsUsableDefaultRoute(view.default4) || !icmp_table_free) return;
  wanted->icmp_bypass = true;
  wanted->routes.push_back(IcmpBypassTableRoute(view.default4));
  WantedPiece rule = Piece("ICMP bypass policy rule", false);
  rule.rules.push_back(IcmpBypassOwnedRule());
  wanted->pieces.push_back(rule);
  WantedPiece mark = Piece("ICMP bypass mark rule", false);
  mark.chain_rules.push_back({"mangle", "OUTPUT", IcmpMarkRule(), false});
  wanted->pieces.push_back(mark);
  WantMarkedTraffic(IcmpBypassMarkedTraffic(view.default4.dev), false,
                    "ICMP bypass NAT and connection marks", wanted);
}

// Without the table lookups go to whatever resolver they were sent to,
// outside the tunnel. Made again, it redirects new lookups; a flow that
// began in the gap keeps its entry unless that entry goes. A TUN
// device the engine
// made again starts with route_localnet 0: the value is read back at each
// look and held where the start raised it.
void WantDnsRedirect(const TunnelPlan& plan, const NetworkView& view, WantedState* wanted) {
  if (!plan.dns_redirect) return;
  const DnsRedirectInputs dns = DnsRedirectInputsOf(plan);
  WantedPiece piece = Piece("name-lookup redirect", false);
  piece.absence_leaks = true;
  piece.nft_tables.push_back({"inet", kDnsRedirectTable, DnsRedirectInstallCommand(dns)});
  piece.after_made = [dns] { DeleteFlowsTheRedirectCatches(dns); };
  wanted->pieces.push_back(piece);
  const std::string path = RouteLocalnetPath(plan.tun_name);
  if (plan.dns_route_localnet_raised && view.tun_ifindex != 0 && !path.empty()) {
    wanted->settings[path] = "1";
  }
}

// The block the run leaves at its end stands dormant while the run
// carries a tunnel, and judges while it has none (the kill switch holds
// meanwhile, so its absence is no leak).
void WantLockdownBlock(const TunnelPlan& plan, WantedState* wanted) {
  if (!plan.lockdown) return;
  WantedPiece block = Piece("lockdown block", false);
  block.nft_tables.push_back({"inet", kLockdownBlockTable,
                              LockdownBlockInstallCommand(LockdownBlockLines(LockdownBlockInputsOf(plan)))});
  wanted->pieces.push_back(block);
}

}  // namespace

WantedState WantState(const TunnelPlan& plan, const NetworkView& view, bool icmp_table_free,
                      bool kernel_ipv6) {
  WantedState wanted;
  // Nothing is tried on a TUN device that is gone: its routes come back
  // with it. The split and bypass routes are kept where the start
  // installed them, and nowhere else.
  const bool tun_present = view.tun_ifindex != 0;
  if (plan.tun_routes) {
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
  WantDnsRedirect(plan, view, &wanted);
  WantLockdownBlock(plan, &wanted);
  return wanted;
}

void WantSrcValidMarkMarkers(const std::set<std::string>& devices, WantedState* wanted) {
  for (const std::string& device : devices) {
    WantedPiece piece = Piece("src_valid_mark marker (" + device + ")", false);
    piece.chain_rules.push_back({"mangle", "PREROUTING", SrcValidMarkMarkerRule(device), false});
    wanted->pieces.push_back(piece);
  }
}

std::string PieceText(const WantedPiece& piece) {
  std::string text;
  for (const OwnedRule& rule : piece.rules) text += OwnedRuleText(rule) + "\n";
  for (const WantedChain& chain : piece.chains) {
    for (const std::string& rule : chain.rules) text += chain.chain + " " + rule + "\n";
  }
  for (const WantedChainRule& rule : piece.chain_rules) text += rule.chain + " " + rule.rule + "\n";
  for (const WantedNftTable& table : piece.nft_tables) text += table.install_command + "\n";
  return text;
}

const WantedPiece* FindPiece(const WantedState& wanted, const std::string& name) {
  for (const WantedPiece& piece : wanted.pieces) {
    if (piece.name == name) return &piece;
  }
  return nullptr;
}

bool LeaksWhileAbsent(const WantedPiece& piece, const WantedState& wanted,
                      const std::set<std::string>& not_standing) {
  if (!piece.absence_leaks || piece.covered_by.empty()) return piece.absence_leaks;
  return FindPiece(wanted, piece.covered_by) == nullptr || not_standing.count(piece.covered_by) != 0;
}
