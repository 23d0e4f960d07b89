#include "killswitch/guard_devices.h"

#include <arpa/inet.h>

#include <algorithm>

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

void AddOnce(const std::string& name, std::vector<std::string>* names) {
  if (std::find(names->begin(), names->end(), name) == names->end()) names->push_back(name);
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// "ADDRESS/LENGTH" of the family with the host bits cleared, as inet_ntop
// writes the address; empty for anything else. The parse is the screen.
std::string NetworkOf(int family, const std::string& prefix) {
  const size_t slash = prefix.find('/');
  if (slash == std::string::npos) return {};
  const std::string length_text = prefix.substr(slash + 1);
  const int bits = family == AF_INET ? 32 : 128;
  if (length_text.empty() || length_text.size() > 3 ||
      length_text.find_first_not_of("0123456789") != std::string::npos) {
    return {};
  }
  const int length = std::stoi(length_text);
  unsigned char bytes[sizeof(struct in6_addr)] = {};
  char text[INET6_ADDRSTRLEN];
  if (length > bits || inet_pton(family, prefix.substr(0, slash).c_str(), bytes) != 1) return {};
  for (int bit = length; bit < bits; ++bit) bytes[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
  if (inet_ntop(family, bytes, text, sizeof(text)) == nullptr) return {};
  return std::string(text) + "/" + std::to_string(length);
}

void AddOnLink(int family, const std::vector<ListedRoute>& routes,
               const std::vector<std::string>& uplinks, std::vector<std::string>* networks) {
  for (const ListedRoute& route : routes) {
    // A default route without a gateway (PPP) would make everything on-link.
    if (route.key.type != "unicast" || !route.gateway.empty() || !Contains(uplinks, route.dev) ||
        route.key.destination == "0.0.0.0/0" || route.key.destination == "::/0") {
      continue;
    }
    const std::string network = NetworkOf(family, route.key.destination);
    if (!network.empty()) AddOnce(network, networks);
  }
}

}  // namespace

std::vector<std::string> UplinkDevices(const std::vector<ListedRoute>& routes4,
                                       const std::vector<ListedRoute>& routes6,
                                       const std::function<bool(const ListedRoute&)>& is_own) {
  std::vector<std::string> devices;
  for (const std::vector<ListedRoute>* routes : {&routes4, &routes6}) {
    for (const ListedRoute& route : *routes) {
      if (route.key.type != "unicast" ||
          (route.key.destination != "0.0.0.0/0" && route.key.destination != "::/0") || is_own(route)) {
        continue;
      }
      if (!route.dev.empty()) devices.push_back(route.dev);
      for (const ListedNextHop& hop : route.next_hops) {
        if (!hop.dev.empty()) devices.push_back(hop.dev);
      }
    }
  }
  return devices;
}

std::vector<std::string> ParseLinkNames(const std::string& link_listing) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(link_listing)) {
    const size_t index_end = line.find_first_not_of("0123456789");
    if (index_end == 0 || index_end == std::string::npos || line[index_end] != ':') continue;
    const size_t start = line.find_first_not_of(" \t", index_end + 1);
    if (start == std::string::npos) continue;
    const size_t end = line.find(':', start);
    if (end == std::string::npos) continue;
    std::string name = line.substr(start, end - start);
    const size_t at = name.find('@');
    if (at != std::string::npos) name.erase(at);
    if (IsSafeShellToken(name)) AddOnce(name, &names);
  }
  return names;
}

KillSwitchDevices KillSwitchDevicesOf(const std::vector<std::string>& route_devices,
                                      const std::string& bridges, const std::string& tun_name) {
  KillSwitchDevices devices;
  for (const std::string& device : route_devices) {
    // The screen for names that go into firewall rules.
    if (device != "lo" && device != tun_name && IsSafeShellToken(device)) {
      AddOnce(device, &devices.uplinks);
    }
  }
  for (const std::string& bridge : ParseLinkNames(bridges)) {
    if (Contains(devices.uplinks, bridge)) {
      devices.bridged_uplinks.push_back(bridge);
    } else if (bridge != tun_name) {
      devices.local_bridges.push_back(bridge);
    }
  }
  return devices;
}

bool SameKillSwitchDevices(const KillSwitchDevices& a, const KillSwitchDevices& b) {
  return a.uplinks == b.uplinks && a.local_bridges == b.local_bridges &&
         a.bridged_uplinks == b.bridged_uplinks && a.on_link4 == b.on_link4 &&
         a.on_link6 == b.on_link6;
}

void AddOnLinkNetworks(const std::vector<ListedRoute>& routes4,
                       const std::vector<ListedRoute>& routes6, KillSwitchDevices* devices) {
  AddOnLink(AF_INET, routes4, devices->uplinks, &devices->on_link4);
  AddOnLink(AF_INET6, routes6, devices->uplinks, &devices->on_link6);
}

std::string ReadBridgeListing() { return ExecCommandOutput("ip -o link show type bridge 2>/dev/null"); }

KillSwitchDevices ReadKillSwitchDevices(const std::string& tun_name,
                                        const std::function<bool(const ListedRoute&)>& is_own) {
  // Every table: a policy rule may send traffic to a default route outside
  // the main table, and a second default route takes over the moment the
  // first goes.
  const std::vector<ListedRoute> routes4 = ParseOneLineRouteListing(
      ExecCommandOutput("ip -o -4 route show default table all 2>/dev/null"), false);
  const std::vector<ListedRoute> routes6 = ParseOneLineRouteListing(
      ExecCommandOutput("ip -o -6 route show default table all 2>/dev/null"), true);
  KillSwitchDevices devices =
      KillSwitchDevicesOf(UplinkDevices(routes4, routes6, is_own), ReadBridgeListing(), tun_name);
  // The same listings the watch reads while READY, so both find the same
  // networks.
  AddOnLinkNetworks(ParseRouteListing(ExecCommandOutput("ip -4 route show table all 2>/dev/null"), false),
                    ParseRouteListing(ExecCommandOutput("ip -6 route show table all 2>/dev/null"), true),
                    &devices);
  return devices;
}
