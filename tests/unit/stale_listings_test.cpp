#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery/stale_listings.h"

namespace {

using Names = std::vector<std::string>;

const DefaultRouteInfo kDefault4{"192.168.1.1", "eth0"};

TEST(ParseStaleBypassDestinations, KeepsOnlyMetric3RoutesViaTheDefaultGateway) {
  const std::string listing =
      "default via 192.168.1.1 dev eth0 metric 3\n"
      "default via 192.168.1.1 dev eth0 proto dhcp metric 100\n"
      "10.1.2.3 via 192.168.1.1 dev eth0 metric 3\n"
      "10.0.0.0/8 via 192.168.1.1 dev eth0 proto static metric 3\n"
      "  172.16.0.0/12 via 192.168.1.1 dev eth0 metric 3  \r\n"
      "172.17.0.0/16 via 192.168.1.1 dev eth0 metric 30\n"
      "203.0.113.7 via 192.168.1.254 dev eth0 metric 3\n"
      "203.0.113.8 via 192.168.1.1 dev eth1 metric 3\n"
      "203.0.113.9 via 192.168.1.1 dev eth01 metric 3\n"
      "198.51.100.0/24 via 192.168.1.1 dev eth0\n"
      "0.0.0.0/1 dev qtun0 metric 5\n"
      "192.168.1.0/24 dev eth0 proto kernel scope link src 192.168.1.2 metric 3\n"
      "\n";
  // metric 30 is another route: the metric is read as a word.
  EXPECT_EQ((Names{"10.1.2.3", "10.0.0.0/8", "172.16.0.0/12"}),
            ParseStaleBypassDestinations(listing, kDefault4));
}

TEST(ParseStaleBypassDestinations, DestinationMustBeAnIpv4LiteralOrPrefix) {
  const std::string listing =
      "broadcast via 192.168.1.1 dev eth0 metric 3\n"
      "2001:db8::1 via 192.168.1.1 dev eth0 metric 3\n"
      "10.0.0.0/33 via 192.168.1.1 dev eth0 metric 3\n"
      "10.0 via 192.168.1.1 dev eth0 metric 3\n"
      "10.0.0.1;reboot via 192.168.1.1 dev eth0 metric 3\n"
      "10.9.9.9 via 192.168.1.1 dev eth0 metric 3";  // no final line feed
  EXPECT_EQ((Names{"10.9.9.9"}), ParseStaleBypassDestinations(listing, kDefault4));
}

// An uplink without a gateway: "via 0.0.0.0" is listed without "via"; a
// route via a gateway on the same device is someone else's.
TEST(ParseStaleBypassDestinations, RoutesWithoutAGatewayAreFoundOnTheirDevice) {
  const std::string listing =
      "10.1.2.3 dev ppp0 metric 3\n172.16.0.0/12 via 100.64.0.1 dev ppp0 metric 3\n";
  EXPECT_EQ((Names{"10.1.2.3"}),
            ParseStaleBypassDestinations(listing, DefaultRouteInfo{"0.0.0.0", "ppp0"}));
}

TEST(ParseStaleEndpointRoutes6, EndpointRoutesInBothForms) {
  const std::string listing =
      "2001:db8:5::7 via fe80::1 dev eth0 metric 3 pref medium\n"
      "2001:db8:5::8 dev wwan0 metric 3 pref medium\n"
      "2001:db8:5::9 via fe80::2 dev eth0 metric 3 pref medium\n"
      "2001:db8:6::/64 via fe80::1 dev eth0 metric 3 pref medium\n"
      "2001:db8:7::/64 dev wwan0 proto kernel metric 3 pref medium\n"
      "2001:db8:5::a via fe80::1 dev eth0 metric 1024 pref medium\n"
      "10.1.2.3 via fe80::1 dev eth0 metric 3\n"
      "default via fe80::1 dev eth0 metric 3 pref medium\n";
  const struct {
    DefaultRouteInfo route;
    Names found;
  } cases[] = {
      {{"fe80::1", "eth0"}, {"2001:db8:5::7"}},
      {{"", "wwan0"}, {"2001:db8:5::8"}},
      {{"fe80::2", "eth0"}, {"2001:db8:5::9"}},
      {{"", "eth0"}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.found, ParseStaleEndpointRoutes6(listing, c.route))
        << c.route.gateway << c.route.dev;
  }
}

TEST(ParsePinnedDefaultRoute, FirstDefaultRouteOfEitherFormPastTheFallback) {
  const struct {
    const char* listing;
    const char* route;
  } cases[] = {
      {"default via 192.0.2.1 dev eth0 \nunreachable default metric 4096 \n", "192.0.2.1|eth0"},
      {"unreachable default dev lo metric 4096 pref medium\n"
       "default dev wwan0 metric 1024 pref medium\n",
       "|wwan0"},
      {"default dev ppp0 \n", "|ppp0"},
      {"unreachable default dev lo metric 4096 pref medium\n", "|"},
      {"", "|"},
  };
  for (const auto& c : cases) {
    const DefaultRouteInfo route = ParsePinnedDefaultRoute(c.listing);
    EXPECT_EQ(c.route, route.gateway + "|" + route.dev) << c.listing;
  }
}

TEST(ParseStaleBypassDestinations, EmptyListingGivesNothing) {
  EXPECT_TRUE(ParseStaleBypassDestinations("", kDefault4).empty());
}

TEST(ParseOwnedTunNames, OwnedPrefixesAtTheStartOnlyPeerCutOff) {
  const std::string listing =
      "5: qtun0: <POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP> mtu 1500 qdisc fq_codel state "
      "UNKNOWN mode DEFAULT group default qlen 500\\    link/none \n"
      "6: zelmo_vpn-tun7: <POINTOPOINT,NOARP> mtu 1500 qdisc noop state DOWN\\    link/none \n"
      "7: tun0: <POINTOPOINT> mtu 1500\n"
      "8: xqtun: <POINTOPOINT> mtu 1500\n"
      "9: my-zelmo_vpn-tun1: <POINTOPOINT> mtu 1500\n"
      "10: qtun2@peer0: <POINTOPOINT> mtu 1500\n"
      "11: zelmo_vpn-tun@if3: <POINTOPOINT> mtu 1500\n"
      "12: QTUN3: <POINTOPOINT> mtu 1500\n"
      "    link/none\n"
      "qtun9: <POINTOPOINT> mtu 1500\n"
      "13:qtun4: <POINTOPOINT> mtu 1500\n";
  EXPECT_EQ((Names{"qtun0", "zelmo_vpn-tun7", "qtun2", "zelmo_vpn-tun"}),
            ParseOwnedTunNames(listing));
}

TEST(ParseOwnedTunNames, UnsafeOwnedNamesAreSkipped) {
  const std::string listing = "5: qtun$(reboot): <POINTOPOINT> mtu 1500\n"
                              "6: qtun a: <POINTOPOINT> mtu 1500\n"
                              "7: qtun;x: <POINTOPOINT> mtu 1500\n"
                              "8: qtun1: <POINTOPOINT> mtu 1500";
  EXPECT_EQ((Names{"qtun1"}), ParseOwnedTunNames(listing));
}

}  // namespace
