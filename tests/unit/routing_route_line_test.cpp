#include <gtest/gtest.h>

#include <string>

#include "routing/route_line.h"

namespace {

// What the watch and the cleanup read back as the helper's pinned routes.
TEST(RouteListing, PinnedRouteLinesInBothFormsAndNothingElse) {
  const DefaultRouteInfo via4{"192.0.2.1", "eth0"};
  const DefaultRouteInfo onlink4{"0.0.0.0", "ppp0"};
  const DefaultRouteInfo onlink6{"", "wwan0"};
  const struct {
    const char* line;
    DefaultRouteInfo route;
    const char* destination;  // empty: not a pinned route
  } cases[] = {
      {"203.0.113.7 via 192.0.2.1 dev eth0 metric 3 ", via4, "203.0.113.7"},
      {"10.0.0.0/8 via 192.0.2.1 dev eth0 proto static metric 3 linkdown", via4, "10.0.0.0/8"},
      {"203.0.113.7 dev ppp0 metric 3 ", onlink4, "203.0.113.7"},
      {"10.20.0.0/16 dev ppp0 scope link metric 3 ", onlink4, "10.20.0.0/16"},
      {"2001:db8:5::7 dev wwan0 metric 3 pref medium", onlink6, "2001:db8:5::7"},
      {"203.0.113.7 via 192.0.2.1 dev eth0 metric 30 ", via4, ""},
      {"203.0.113.7 via 192.0.2.1 dev eth0 ", via4, ""},
      {"default via 192.0.2.1 dev eth0 metric 3 ", via4, ""},
      {"unreachable 203.0.113.7 dev ppp0 metric 3 ", onlink4, ""},
      {"100.64.0.0/24 dev ppp0 proto kernel scope link src 100.64.0.2 metric 3 ", onlink4, ""},
      {"203.0.113.7 via 100.64.0.1 dev ppp0 metric 3 ", onlink4, ""},
      {"2001:db8:5::7 dev wwan0 metric 3 pref medium", DefaultRouteInfo{}, ""},
      {"", onlink6, ""},
  };
  for (const auto& c : cases) {
    std::string destination;
    const bool pinned = ParsePinnedRouteLine(c.line, c.route, &destination);
    EXPECT_EQ(!std::string(c.destination).empty(), pinned) << c.line;
    EXPECT_EQ(c.destination, destination) << c.line;
  }
  const RouteLine listed =
      ParseRouteLine("unreachable default dev lo proto kernel metric 4096 pref medium");
  EXPECT_EQ("unreachable|default|lo|4096|kernel", listed.type + "|" + listed.destination + "|" +
                                                   listed.next_hop.dev + "|" + listed.metric + "|" +
                                                   listed.proto);
}

}  // namespace
