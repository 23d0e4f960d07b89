#pragma once

// What the run decided and installed, shared by the start sequence, the
// watch while READY and the teardown. Every removal is given the same values
// as the install it undoes; while READY the watch updates them (a new
// default route, say) together with the host, so teardown removes the
// pieces as they are now.

#include <algorithm>
#include <string>
#include <vector>

#include "approuting/policy.h"
#include "dns/dns_addresses.h"
#include "dns/dns_redirect_table.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/lockdown_block.h"
#include "routing/default_route.h"
#include "routing/endpoint.h"

struct TunnelPlan {
  std::string tun_name;
  std::string endpoint_host;
  DefaultRouteInfo default4;
  DefaultRouteInfo default6;
  ResolvedAddresses endpoint;
  // The addresses of a server the run left in a switch: their pins are
  // still the run's own, to be removed, until a look has removed them.
  ResolvedAddresses retired_endpoint;
  std::vector<std::string> bypass_prefixes;
  // --allow-lan: the kill switch lets the local network pass.
  bool allow_lan = false;
  AppRoutingPolicy policy;
  // The engine's device as the start found it (its interface index; 0
  // when there was none): a device made again is another device.
  int tun_ifindex = 0;
  // --dns, when given: where name lookups go (dns/dns_redirect_table.h).
  std::vector<std::string> dns_addresses;
  // The start installed the split and bypass routes: not with a
  // vpnOnlySelected policy, nor for a TUN name that is empty or no safe
  // word. The watch keeps them only then, and the teardown removes them.
  bool tun_routes = false;
  // Of those, the IPv6 split routes are installed (there is an IPv6 default
  // route); the watch keeps it up to date.
  bool split_routes6 = false;
  // What the start installed beyond the routes.
  bool kill_switch = false;
  bool kill_switch_guard = false;  // the guard's table beside the chain
  bool icmp_bypass = false;
  // The uplinks and local bridges the kill switch was built for, read at
  // start (killswitch/guard_devices.h).
  KillSwitchDevices kill_switch_devices;
  bool dns_redirect = false;
  bool dns_route_localnet_raised = false;  // recorded in the table, put back at its removal
  // The run leaves the lockdown block at every end (--lockdown, or a block
  // the start found and took over). While it runs the block stands
  // dormant, so a killed run leaves it too; it judges traffic only while
  // the run has no tunnel (block_active).
  bool lockdown = false;
  bool block_active = false;
};

// The pins the run owns: the server's addresses now, and those of a server
// it left whose pins a look has not yet removed.
inline ResolvedAddresses PinnedEndpoint(const TunnelPlan& plan) {
  ResolvedAddresses pinned = plan.endpoint;
  for (const bool ipv6 : {false, true}) {
    std::vector<std::string>& kept = ipv6 ? pinned.ipv6 : pinned.ipv4;
    for (const std::string& address : ipv6 ? plan.retired_endpoint.ipv6 : plan.retired_endpoint.ipv4) {
      if (std::find(kept.begin(), kept.end(), address) == kept.end()) kept.push_back(address);
    }
  }
  return pinned;
}

// A policy that steers programs marks their packets; the kill switch lets
// those pass, since the policy's tables send them where they belong.
inline bool PolicyMarksPrograms(const AppRoutingPolicy& policy) {
  return policy.enabled && policy.mode != "disabled";
}

// The kill switch of this run. The IPv6 chain whenever the kernel has IPv6
// (kernel_ipv6): a default route missed at start (multipath, or one that
// appears later) must not open a leak.
inline KillSwitchInputs KillSwitchInputsOf(const TunnelPlan& plan, bool kernel_ipv6) {
  KillSwitchInputs inputs;
  inputs.tun_name = plan.tun_name;
  inputs.endpoint = plan.endpoint;
  inputs.bypass_prefixes = plan.bypass_prefixes;
  inputs.want_ipv6 = kernel_ipv6;
  inputs.allow_app_mark = PolicyMarksPrograms(plan.policy);
  inputs.app_mark_to_uplinks = inputs.allow_app_mark && plan.policy.mode == "bypassSelected";
  inputs.devices = plan.kill_switch_devices;
  inputs.allow_lan = plan.allow_lan;
  for (const int family : {AF_INET, AF_INET6}) {
    const std::string target = FirstDnsAddressOfFamily(plan.dns_addresses, family);
    if (!target.empty()) inputs.lookup_targets.push_back(target);
  }
  return inputs;
}

// The block this run leaves, as it stands now: the kill switch's local
// bridges and uplink networks, dormant while the run has a tunnel.
inline LockdownBlockInputs LockdownBlockInputsOf(const TunnelPlan& plan) {
  LockdownBlockInputs inputs;
  inputs.local_bridges = plan.kill_switch_devices.local_bridges;
  inputs.on_link4 = plan.kill_switch_devices.on_link4;
  inputs.on_link6 = plan.kill_switch_devices.on_link6;
  inputs.allow_lan = plan.allow_lan;
  inputs.dormant = !plan.block_active;
  return inputs;
}

// Whose lookups the tunnel carries follows whose traffic it carries.
inline DnsLookupScope DnsLookupScopeOf(const AppRoutingPolicy& policy) {
  if (!PolicyMarksPrograms(policy)) return DnsLookupScope::kAllLookups;
  return policy.mode == "vpnOnlySelected" ? DnsLookupScope::kSelectedOnly
                                          : DnsLookupScope::kAllButSelected;
}

// The name-lookup table of this run, as the start installed it.
inline DnsRedirectInputs DnsRedirectInputsOf(const TunnelPlan& plan) {
  DnsRedirectInputs inputs;
  inputs.tun_name = plan.tun_name;
  inputs.addresses = plan.dns_addresses;
  inputs.endpoint = plan.endpoint;
  inputs.scope = DnsLookupScopeOf(plan.policy);
  inputs.route_localnet_raised = plan.dns_route_localnet_raised;
  return inputs;
}
