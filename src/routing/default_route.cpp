#include "routing/default_route.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/route_line.h"

namespace {

// Column positions of /proc/net/route (Iface Destination Gateway Flags
// RefCnt Use Metric Mask ...).
constexpr size_t kDeviceColumn = 0;
constexpr size_t kDestinationColumn = 1;
constexpr size_t kGatewayColumn = 2;
constexpr size_t kMaskColumn = 7;
constexpr const char* kAnyAddress = "00000000";

// The kernel writes the gateway as the hex of the address in network byte
// order read as a host-order (little-endian) number, so the low byte is the
// first octet.
bool ParseHexGateway(const std::string& token, std::string* dotted) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(token.c_str(), &end, 16);
  if (end == token.c_str() || errno == ERANGE) return false;
  const uint32_t address = static_cast<uint32_t>(value);
  *dotted = std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
            std::to_string((address >> 16) & 0xFF) + "." + std::to_string((address >> 24) & 0xFF);
  return true;
}

}  // namespace

DefaultRouteInfo ParseProcNetRoute(const std::string& route_text) {
  std::istringstream lines(route_text);
  std::string line;
  std::getline(lines, line);  // column header
  while (std::getline(lines, line)) {
    const std::vector<std::string> columns = SplitWords(line);
    // The mask matters: the tunnel's own 0.0.0.0/1 route also has
    // destination 00000000 and the kernel lists it before the real default.
    if (columns.size() <= kMaskColumn) continue;
    if (columns[kDestinationColumn] != kAnyAddress || columns[kMaskColumn] != kAnyAddress) continue;
    DefaultRouteInfo route;
    if (!ParseHexGateway(columns[kGatewayColumn], &route.gateway)) return {};
    route.dev = columns[kDeviceColumn];
    return route;
  }
  return {};
}

DefaultRouteInfo ReadDefaultRoute() { return ParseProcNetRoute(ReadFileToString("/proc/net/route")); }

DefaultRouteInfo ParseIpv6DefaultRoute(const std::string& ip_output) {
  const std::vector<std::string> lines = SplitLines(ip_output);
  if (lines.empty()) return {};
  // A route of another type ("unreachable default dev lo", the fallback a
  // table may end in) leads nowhere; with a device but no gateway it would
  // otherwise read as an on-link default route on lo.
  const std::vector<std::string> first_words = SplitWords(lines[0]);
  if (first_words.empty() || first_words[0] != "default") return {};
  DefaultRouteInfo route = ParseListedNextHop(lines[0]);
  if (!route.gateway.empty() || !route.dev.empty()) return route;
  // Two routers on the link give one multipath route: its first line names
  // neither, its next hops follow indented, and the first of them stands
  // for the route (read as missing, IPv6 would go around the tunnel).
  for (size_t i = 1; i < lines.size(); ++i) {
    const bool continues_route = !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t');
    if (!continues_route) break;
    const std::vector<std::string> words = SplitWords(lines[i]);
    if (!words.empty() && words[0] == "nexthop") return ParseListedNextHop(lines[i]);
  }
  return route;
}

DefaultRouteInfo ReadDefaultRouteV6() {
  return ParseIpv6DefaultRoute(ExecCommandOutput("ip -6 route show default"));
}

bool HasGateway(const DefaultRouteInfo& route) {
  return !route.gateway.empty() && route.gateway != "0.0.0.0" && route.gateway != "::";
}

bool IsUsableDefaultRoute(const DefaultRouteInfo& route) {
  return IsSafeShellToken(route.dev) && (route.gateway.empty() || IsSafeShellToken(route.gateway));
}

bool SameDefaultRoute(const DefaultRouteInfo& a, const DefaultRouteInfo& b) {
  if (a.dev != b.dev) return false;
  if (!HasGateway(a) || !HasGateway(b)) return HasGateway(a) == HasGateway(b);
  return a.gateway == b.gateway;
}

std::string DefaultRouteNextHop(const DefaultRouteInfo& route) {
  if (route.gateway.empty()) return " dev " + route.dev;
  return " via " + route.gateway + " dev " + route.dev;
}

std::string Default6StatusLine(const DefaultRouteInfo& default6) {
  if (default6.dev.empty()) return "INFO: default6 missing";
  if (default6.gateway.empty()) return "INFO: default6 dev=" + default6.dev;
  return "INFO: default6 via=" + default6.gateway + " dev=" + default6.dev;
}
