#include "recovery/stale_listings.h"

#include <arpa/inet.h>

#include "killswitch/safe_token.h"
#include "lifecycle/byte_pattern.h"
#include "lifecycle/text_utils.h"
#include "routing/ipv4_prefix.h"
#include "routing/route_line.h"

namespace {

bool IsIpv4AddressOrPrefix(const std::string& text) {
  struct in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1 || !NormalizeIpv4Cidr(text).empty();
}

bool IsIpv6Address(const std::string& text) {
  struct in6_addr address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// The pinned routes over ROUTE whose destination passes IS_DESTINATION.
std::vector<std::string> ParsePinnedDestinations(const std::string& route_listing,
                                                 const DefaultRouteInfo& route,
                                                 bool (*is_destination)(const std::string&)) {
  std::vector<std::string> destinations;
  std::string destination;
  for (const std::string& line : SplitLines(route_listing)) {
    if (!ParsePinnedRouteLine(line, route, &destination)) continue;
    // The destination goes back into a delete command as listed.
    if (!IsSafeShellToken(destination) || !is_destination(destination)) continue;
    destinations.push_back(destination);
  }
  return destinations;
}

bool HasOwnedTunPrefix(const std::string& name) {
  return name.rfind("qtun", 0) == 0 || name.rfind("zelmo_vpn-tun", 0) == 0;
}

}  // namespace

std::vector<std::string> ParseStaleBypassDestinations(const std::string& route_listing,
                                                      const DefaultRouteInfo& default4) {
  return ParsePinnedDestinations(route_listing, default4, IsIpv4AddressOrPrefix);
}

std::vector<std::string> ParseStaleEndpointRoutes6(const std::string& route_listing,
                                                   const DefaultRouteInfo& default6) {
  return ParsePinnedDestinations(route_listing, default6, IsIpv6Address);
}

DefaultRouteInfo ParsePinnedDefaultRoute(const std::string& table_listing) {
  for (const std::string& line : SplitLines(table_listing)) {
    const DefaultRouteInfo route = ParseIpv6DefaultRoute(line);
    if (!route.dev.empty()) return route;
  }
  return {};
}

std::vector<std::string> ParseOwnedTunNames(const std::string& link_listing) {
  // ^\d+:\s+([^:]+): searched in each line, \s spelled out (byte_pattern.h).
  const RE2 link_line(R"re(^\d+:[\t\n\v\f\r ]+([^:]+):)re", BytePatternOptions(false));
  std::vector<std::string> names;
  std::string name;
  size_t match_end = 0;
  for (const std::string& line : SplitLines(link_listing)) {
    if (!FindFirstGroup(link_line, line, 0, &name, &match_end)) continue;
    const size_t at = name.find('@');
    if (at != std::string::npos) name.erase(at);
    if (!HasOwnedTunPrefix(name)) continue;
    // The name goes into five commands; one that is not a safe word (the
    // pattern alone lets spaces and shell characters through) is skipped.
    if (!IsSafeShellToken(name)) continue;
    names.push_back(name);
  }
  return names;
}
