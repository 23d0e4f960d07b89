#include "routing/default_route.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

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

DefaultRouteInfo ParseViaAndDev(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  DefaultRouteInfo route;
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == "via") {
      route.gateway = words[++i];
    } else if (words[i] == "dev") {
      route.dev = words[++i];
    }
  }
  return route;
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
  DefaultRouteInfo route = ParseViaAndDev(lines[0]);
  if (!route.gateway.empty() || !route.dev.empty()) return route;
  // Two routers on the link give one multipath route: its first line names
  // neither, its next hops follow indented, and the first of them stands
  // for the route (read as missing, IPv6 would go around the tunnel).
  for (size_t i = 1; i < lines.size(); ++i) {
    const bool continues_route = !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t');
    if (!continues_route) break;
    const std::vector<std::string> words = SplitWords(lines[i]);
    if (!words.empty() && words[0] == "nexthop") return ParseViaAndDev(lines[i]);
  }
  return route;
}

DefaultRouteInfo ReadDefaultRouteV6() {
  return ParseIpv6DefaultRoute(ExecCommandOutput("ip -6 route show default"));
}

bool IsUsableDefaultRoute(const DefaultRouteInfo& route) {
  return IsSafeShellToken(route.gateway) && IsSafeShellToken(route.dev);
}
