#include <gtest/gtest.h>

#include <string>

#include "routing/default_route.h"

namespace {

const char kHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string RouteLine(const std::string& dev, const std::string& destination,
                      const std::string& gateway, const std::string& mask,
                      const std::string& metric = "0") {
  return dev + "\t" + destination + "\t" + gateway + "\t0003\t0\t0\t" + metric + "\t" + mask +
         "\t0\t0\t0\n";
}

struct ProcRouteCase {
  const char* what;
  std::string text;
  std::string gateway;
  std::string dev;
};

TEST(DefaultRouteTest, ParsesProcNetRoute) {
  const ProcRouteCase cases[] = {
      {"only the header", kHeader, "", ""},
      {"empty file", "", "", ""},
      {"gateway octets come low byte first",
       std::string(kHeader) + RouteLine("eth0", "0000A8C0", "00000000", "00FFFFFF") +
           RouteLine("eth0", "00000000", "0101A8C0", "00000000"),
       "192.168.1.1", "eth0"},
      {"the earlier of several default routes wins whatever the metrics",
       std::string(kHeader) + RouteLine("eth0", "00000000", "0100000A", "00000000", "600") +
           RouteLine("wlan0", "00000000", "0101A8C0", "00000000", "100"),
       "10.0.0.1", "eth0"},
      {"a route without gateway", std::string(kHeader) + RouteLine("ppp0", "00000000", "00000000", "00000000"),
       "0.0.0.0", "ppp0"},
      // The tunnel's split route 0.0.0.0/1 has destination 0 too; only its
      // mask tells it from the real default route listed after it.
      {"the tunnel's 0.0.0.0/1 route is not the default route",
       std::string(kHeader) + RouteLine("tun0", "00000000", "00000000", "00000080") +
           RouteLine("tun0", "00000080", "00000000", "00000080") +
           RouteLine("eth0", "00000000", "0102000A", "00000000"),
       "10.0.2.1", "eth0"},
      {"only the tunnel route", std::string(kHeader) + RouteLine("tun0", "00000000", "00000000", "00000080"),
       "", ""},
      {"a line too short to hold the mask is skipped",
       std::string(kHeader) + "eth1\t00000000\t0101A8C0\n" + RouteLine("eth0", "00000000", "0100000A", "00000000"),
       "10.0.0.1", "eth0"},
      {"an unparsable gateway on the first default line ends the search empty",
       std::string(kHeader) + RouteLine("eth0", "00000000", "zz", "00000000") +
           RouteLine("eth1", "00000000", "0100000A", "00000000"),
       "", ""},
      {"an out-of-range gateway ends the search empty",
       std::string(kHeader) + RouteLine("eth0", "00000000", "FFFFFFFFFFFFFFFFFF", "00000000"), "", ""},
      {"destination must be exactly eight zeros",
       std::string(kHeader) + RouteLine("eth0", "0", "0100000A", "00000000") +
           RouteLine("eth1", "000000000", "0100000A", "00000000"),
       "", ""},
      {"the first line is a header whatever it holds",
       RouteLine("eth9", "00000000", "0100000A", "00000000") + RouteLine("eth0", "00000000", "0200000A", "00000000"),
       "10.0.0.2", "eth0"},
  };
  for (const ProcRouteCase& c : cases) {
    const DefaultRouteInfo route = ParseProcNetRoute(c.text);
    EXPECT_EQ(c.gateway, route.gateway) << c.what;
    EXPECT_EQ(c.dev, route.dev) << c.what;
  }
}

TEST(DefaultRouteTest, ParsesIpv6DefaultRouteOutput) {
  const ProcRouteCase cases[] = {
      {"gateway and device", "default via fe80::1 dev eth0 proto ra metric 100 pref medium\n",
       "fe80::1", "eth0"},
      {"device only", "default dev wg0 metric 1024 pref medium\n", "", "wg0"},
      {"multipath: the first next hop stands for the route",
       "default proto ra metric 1024 expires 1798sec pref medium\n"
       "\tnexthop via fe80::1 dev eth0 weight 1 \n\tnexthop via fe80::2 dev eth1 weight 1 \n",
       "fe80::1", "eth0"},
      {"next hops belong to the first route only",
       "default proto ra metric 1024\nunreachable default\n\tnexthop via fe80::1 dev eth0\n", "", ""},
      {"only the first line counts",
       "default via 2001:db8::1 dev eth0 metric 100\ndefault via 2001:db8::2 dev eth1 metric 50\n",
       "2001:db8::1", "eth0"},
      {"empty output", "", "", ""},
      {"blank first line", "  \n default via fe80::1 dev eth0\n", "", ""},
      {"a trailing key without value", "default dev", "", ""},
      {"the word after a key is consumed as its value", "default via dev dev eth1", "dev", "eth1"},
      {"a later key overwrites", "default via a dev b via c", "c", "b"},
      {"multipath without gateways", "default metric 1024\n\tnexthop dev wwan0 weight 1\n", "",
       "wwan0"},
      // A table's fallback, or a host's, is listed with a device (lo) but
      // leads nowhere.
      {"a route of another type", "unreachable default dev lo metric 4096 pref medium\n", "", ""},
      {"a route of another type first",
       "blackhole default dev lo metric 1\ndefault dev wwan0 metric 1024\n", "", ""},
  };
  for (const ProcRouteCase& c : cases) {
    const DefaultRouteInfo route = ParseIpv6DefaultRoute(c.text);
    EXPECT_EQ(c.gateway, route.gateway) << c.what;
    EXPECT_EQ(c.dev, route.dev) << c.what;
  }
}

TEST(DefaultRouteTest, UsableWithASafeDeviceAndASafeOrNoGateway) {
  const struct {
    DefaultRouteInfo route;
    bool usable;
  } cases[] = {
      {{"192.168.1.1", "eth0"}, true},
      {{"fe80::1", "eth0"}, true},
      {{"0.0.0.0", "ppp0"}, true},
      {{"", "wwan0"}, true},  // IPv6 without a gateway
      {{"fe80::1", ""}, false},
      {{"", ""}, false},
      {{"fe80::1%eth0", "eth0"}, false},
      {{"10.0.0.1", "eth0;reboot"}, false},
      {{"", "wwan0 x"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.usable, IsUsableDefaultRoute(c.route)) << c.route.gateway << "|" << c.route.dev;
  }
}

}  // namespace
