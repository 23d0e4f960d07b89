#pragma once

#include <string>
#include <vector>

// The devices the kill switch judges traffic by, beyond the TUN device and
// loopback: what leaves through an uplink must be the tunnel's own, and the
// host's local bridges (containers, virtual machines) stay reachable.

struct KillSwitchDevices {
  // The devices of the default routes, both families, every table and every
  // next hop: where traffic leaves the host physically.
  std::vector<std::string> uplinks;
  // Bridges that are not uplinks: the host may talk to what sits behind them.
  std::vector<std::string> local_bridges;
};

// The "dev" of each route in an "ip -o route show default" listing (one
// line per route, next hops of a multipath route included), in order,
// without repeats. Only safe words are kept: the names go into firewall
// rules.
std::vector<std::string> ParseRouteDevices(const std::string& route_listing);
// The names in an "ip -o link show" listing ("N: NAME: <...>", a peer's
// "@..." cut off), safe words only.
std::vector<std::string> ParseLinkNames(const std::string& link_listing);

// Combines the devices of the default routes (both families) with a
// listing of the bridges: the uplinks, and the bridges that are neither an
// uplink nor the TUN device. Loopback and the TUN device are never uplinks
// (the tunnel-only table routes by default into the tunnel).
KillSwitchDevices KillSwitchDevicesOf(const std::vector<std::string>& route_devices,
                                      const std::string& bridges, const std::string& tun_name);
// "ip -o link show type bridge": the bridges, for KillSwitchDevicesOf.
std::string ReadBridgeListing();
// Reads the three listings from the host.
KillSwitchDevices ReadKillSwitchDevices(const std::string& tun_name);
