#include "routing/route_line.h"

#include <vector>

#include "lifecycle/text_utils.h"

namespace {

// The types "ip route show" writes before the destination of a route that
// is not a plain one.
bool IsRouteType(const std::string& word) {
  for (const char* type : {"unicast", "local", "broadcast", "multicast", "throw", "unreachable",
                           "prohibit", "blackhole", "nat", "anycast"}) {
    if (word == type) return true;
  }
  return false;
}

}  // namespace

RouteLine ParseRouteLine(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  RouteLine route;
  size_t next = 0;
  if (next < words.size() && IsRouteType(words[next])) route.type = words[next++];
  if (next < words.size()) route.destination = words[next++];
  for (; next + 1 < words.size(); ++next) {
    const std::string& key = words[next];
    if (key == "via") {
      route.next_hop.gateway = words[++next];
    } else if (key == "dev") {
      route.next_hop.dev = words[++next];
    } else if (key == "metric") {
      route.metric = words[++next];
    } else if (key == "proto") {
      route.proto = words[++next];
    }
  }
  return route;
}

DefaultRouteInfo ParseListedNextHop(const std::string& line) {
  return ParseRouteLine(line).next_hop;
}

bool ListsNextHopOf(const std::string& line, const DefaultRouteInfo& route) {
  return !route.dev.empty() && SameDefaultRoute(ParseListedNextHop(line), route);
}

bool ParsePinnedRouteLine(const std::string& line, const DefaultRouteInfo& route,
                          std::string* destination) {
  const RouteLine listed = ParseRouteLine(line);
  if (!listed.type.empty() || listed.destination.empty() || listed.destination == "default") {
    return false;
  }
  if (listed.metric != "3" || listed.proto == "kernel") return false;
  if (route.dev.empty() || !SameDefaultRoute(listed.next_hop, route)) return false;
  *destination = listed.destination;
  return true;
}
