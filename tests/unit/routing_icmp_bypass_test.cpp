#include <gtest/gtest.h>

#include <string>

#include "routing/icmp_bypass.h"

namespace {

const DefaultRouteInfo kViaGateway{"192.0.2.1", "eth0"};
const DefaultRouteInfo kWithoutGateway{"0.0.0.0", "ppp0"};

TEST(IcmpBypassTable, FreeOnlyWhenNothingButTheRunsOwnRouteIsThere) {
  const struct {
    const char* listing;
    DefaultRouteInfo default4;
    bool free;
  } cases[] = {
      {"", kViaGateway, true},
      {"\n", kViaGateway, true},
      {"default via 192.0.2.1 dev eth0 \n", kViaGateway, true},
      {"default via 192.0.2.1 dev eth0 linkdown \n", kViaGateway, true},
      // A second uplink's route in table 100, the usual set-up: another
      // gateway, or another device, is another owner's.
      {"default via 192.0.3.1 dev eth1 \n", kViaGateway, false},
      {"default via 192.0.2.1 dev eth1 \n", kViaGateway, false},
      {"default dev eth0 scope link \n", kViaGateway, false},
      // The kernel lists "via 0.0.0.0" without "via", with or without scope.
      {"default dev ppp0 \n", kWithoutGateway, true},
      {"default dev ppp0 scope link linkdown \n", kWithoutGateway, true},
      {"default dev ppp0 \n", DefaultRouteInfo{"", "ppp0"}, true},
      {"default via 192.0.2.1 dev ppp0 \n", kWithoutGateway, false},
      {"default dev wwan0 \n", kWithoutGateway, false},
      {"default via 192.0.2.1 dev eth0 proto static metric 50 \n", kViaGateway, false},
      {"default via 192.0.2.1 dev eth0 \n10.8.0.0/24 dev wg0 scope link \n", kViaGateway, false},
      {"unreachable default \n", kViaGateway, false},
      {"192.168.5.0/24 via 192.0.2.1 dev eth0 \n", kViaGateway, false},
      // No default route recorded: only an empty table is free.
      {"default via 192.0.2.1 dev eth0 \n", DefaultRouteInfo{}, false},
      {"", DefaultRouteInfo{}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.free, IsIcmpBypassTableFree(c.listing, c.default4))
        << c.listing << " for " << c.default4.gateway << " " << c.default4.dev;
  }
}

// Without memory of the run (the cleanup mode), the bypass's rule is the
// mark of ownership, and the table must look like the bypass left it.
TEST(IcmpBypassTable, OwnedByTheRuleAndALoneDefaultRoute) {
  const std::string rule = "100:\tfrom all fwmark 0x1 ipproto icmp lookup 100\n";
  const std::string older_rule = "100:\tfrom all fwmark 0x1 lookup 100\n";
  const struct {
    const char* table;
    std::string rules;
    bool owned;
    DefaultRouteInfo route;
  } cases[] = {
      {"default via 192.0.2.1 dev eth0 \n", rule, true, kViaGateway},
      // An earlier version's rule, which took every protocol, counts too.
      {"default via 192.0.2.1 dev eth0 \n", older_rule, true, kViaGateway},
      {"default dev ppp0 \n", rule, true, {"", "ppp0"}},
      {"default dev ppp0 scope link \n", rule, true, {"", "ppp0"}},
      // Killed between the rule and the route: the rule alone is removed.
      {"", rule, true, {}},
      // A second uplink's route without the bypass's rule is the user's.
      {"default via 192.0.3.1 dev eth1 \n", "", false, {"192.0.3.1", "eth1"}},
      {"default via 192.0.3.1 dev eth1 \n", "100:\tfrom 192.0.3.2 lookup 100\n", false,
       {"192.0.3.1", "eth1"}},
      {"default via 192.0.3.1 dev eth1 \n", "50:\tfrom all fwmark 0x1 lookup 100\n", false,
       {"192.0.3.1", "eth1"}},
      {"default via 192.0.3.1 dev eth1 \n", "100:\tfrom all fwmark 0x1 ipproto tcp lookup 100\n",
       false, {"192.0.3.1", "eth1"}},
      {"default via 192.0.3.1 dev eth1 \n", "100:\tfrom 192.0.3.2 fwmark 0x1 lookup 100\n", false,
       {"192.0.3.1", "eth1"}},
      {"10.99.0.0/24 via 192.0.2.1 dev eth0 \n", rule, false, {}},
      {"default via 192.0.2.1 dev eth0 \ndefault via 192.0.3.1 dev eth1 metric 5 \n", rule, false,
       {}},
      {"default via 192.0.2.1 dev eth0 \n10.99.0.0/24 dev eth0 scope link \n", rule, false, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.owned, IsIcmpBypassTableOwned(c.table, c.rules)) << c.table << c.rules;
    const DefaultRouteInfo route = ParseIcmpBypassTableRoute(c.table);
    EXPECT_EQ(c.route.gateway + "|" + c.route.dev, route.gateway + "|" + route.dev) << c.table;
  }
}

// Only ICMP is sent around the tunnel: another program's packets with
// mark 1 keep both their route and their source address.
TEST(IcmpBypassPieces, OnlyIcmpTakesTheMarkedRouteAndItsSourceNat) {
  EXPECT_EQ("ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100", IcmpBypassRuleCommand());
  EXPECT_EQ("-o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j MASQUERADE",
            MarkedTrafficOwnedRules(IcmpBypassMarkedTraffic("eth0")).at(0).rule);
}

}  // namespace
