#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lifecycle/route_listing.h"

// The devices the kill switch judges traffic by, beyond the TUN device and
// loopback: what leaves through an uplink must be the tunnel's own, and the
// host's local bridges (containers, virtual machines) stay reachable.

struct KillSwitchDevices {
  // The devices of the default routes, both families, every table and every
  // next hop: where traffic leaves the host physically.
  std::vector<std::string> uplinks;
  // Bridges that are not uplinks: the host may talk to what sits behind them.
  std::vector<std::string> local_bridges;
  // Uplinks that are bridges (the host's physical device enslaved to one,
  // virtual machines beside it): frames bridged there stay on the local
  // network and are not the kill switch's to judge.
  std::vector<std::string> bridged_uplinks;
  // The networks the kernel routes onto an uplink without a gateway, as
  // "ADDRESS/LENGTH" with the host bits cleared, per family: the host's
  // DHCP and DHCPv6 reach servers there (and the broadcast and multicast
  // addresses of such servers), nowhere else.
  std::vector<std::string> on_link4;
  std::vector<std::string> on_link6;
};

bool SameKillSwitchDevices(const KillSwitchDevices& a, const KillSwitchDevices& b);

// The one place that finds the uplinks, for the start and the watch alike:
// the devices of every default route in the listings, any table, every next
// hop, in order, but the routes `is_own` calls the helper's own (app
// routing's tables, table 100's route: right after a move they still name
// the device just left, until the look repairs them).
std::vector<std::string> UplinkDevices(const std::vector<ListedRoute>& routes4,
                                       const std::vector<ListedRoute>& routes6,
                                       const std::function<bool(const ListedRoute&)>& is_own);
// The names in an "ip -o link show" listing ("N: NAME: <...>", a peer's
// "@..." cut off), safe words only.
std::vector<std::string> ParseLinkNames(const std::string& link_listing);

// Combines the uplinks with a listing of the bridges: the uplinks, those of
// them that are bridges, and the bridges that are neither an uplink nor the
// TUN device. Loopback and the TUN device are never uplinks (the tunnel-only
// table routes by default into the tunnel); only safe words are kept, since
// the names go into firewall rules.
KillSwitchDevices KillSwitchDevicesOf(const std::vector<std::string>& route_devices,
                                      const std::string& bridges, const std::string& tun_name);
// Fills the on-link networks of DEVICES' uplinks from route listings of
// every table ("ip -4 route show table all", "ip -6 ..."): the destination
// of each unicast route that leads onto an uplink without a gateway, not a
// default route. Only destinations that parse as prefixes are kept (the
// screen: they go into firewall rules), in order, without repeats.
void AddOnLinkNetworks(const std::vector<ListedRoute>& routes4,
                       const std::vector<ListedRoute>& routes6, KillSwitchDevices* devices);
// "ip -o link show type bridge": the bridges, for KillSwitchDevicesOf.
std::string ReadBridgeListing();
// Reads the listings from the host: the default routes (the start's "ip -o
// ... route show default table all") and the bridges, then the routes of
// every table for the on-link networks. `is_own` as for UplinkDevices.
KillSwitchDevices ReadKillSwitchDevices(const std::string& tun_name,
                                        const std::function<bool(const ListedRoute&)>& is_own);
