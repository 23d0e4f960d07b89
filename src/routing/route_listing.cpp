#include "routing/route_listing.h"

#include <vector>

#include "lifecycle/text_utils.h"

DefaultRouteInfo ParseListedNextHop(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  DefaultRouteInfo next_hop;
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == "via") {
      next_hop.gateway = words[++i];
    } else if (words[i] == "dev") {
      next_hop.dev = words[++i];
    }
  }
  return next_hop;
}

bool ListsNextHopOf(const std::string& line, const DefaultRouteInfo& route) {
  return !route.dev.empty() && SameDefaultRoute(ParseListedNextHop(line), route);
}
