#include <gtest/gtest.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cstring>
#include <string>
#include <vector>

#include "killswitch/firewall_save.h"
#include "lifecycle/firewall_events.h"
#include "lifecycle/route_listing.h"
#include "killswitch/guard_devices.h"
#include "typical_run.h"
#include "watch/follow_network.h"
#include "watch/owned_pieces.h"

namespace {

std::string Describe(const ListedRoute& route) {
  std::string text = route.key.table + "|" + route.key.type + "|" + route.key.destination + "|" +
                     route.key.metric + "|" + route.gateway + "|" + route.dev +
                     (route.dead ? "|dead" : "");
  for (const ListedNextHop& hop : route.next_hops) {
    text += "|hop " + hop.gateway + " " + hop.dev + (hop.dead ? " dead" : "");
  }
  return text;
}

TEST(ParseRouteListing, ReadsEveryFormTheKernelLists) {
  const struct {
    bool ipv6;
    std::string line;
    std::string expected;
  } cases[] = {
      {false, "default via 192.0.2.1 dev eth0 ", "main|unicast|0.0.0.0/0|0|192.0.2.1|eth0"},
      {false, "0.0.0.0/1 dev qtun0 scope link metric 5 ", "main|unicast|0.0.0.0/1|5||qtun0"},
      {false, "203.0.113.7 via 192.0.2.1 dev eth0 metric 3 ",
       "main|unicast|203.0.113.7/32|3|192.0.2.1|eth0"},
      // A route written "via 0.0.0.0" is listed on the link.
      {false, "default dev ppp0 table 100 scope link ", "100|unicast|0.0.0.0/0|0||ppp0"},
      {false, "unreachable default table 1066 metric 4096 ",
       "1066|unreachable|0.0.0.0/0|4096||"},
      {false, "local 127.0.0.0/8 dev lo table local proto kernel scope host src 127.0.0.1 ",
       "local|local|127.0.0.0/8|0||lo"},
      // A route whose link lost its carrier is still the kernel's route.
      {false, "10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3 linkdown ",
       "main|unicast|10.20.0.0/16|3|192.0.2.1|eth0"},
      {false, "default via 192.0.2.1 dev eth0 dead linkdown ", "main|unicast|0.0.0.0/0|0|192.0.2.1|eth0|dead"},
      // IPv6 lists an unreachable route on lo, and every route's metric.
      {true, "unreachable default dev lo table 1066 metric 4096 pref medium",
       "1066|unreachable|::/0|4096||"},
      {true, "2001:db8:5::7 via 2001:db8:1::1 dev eth0 metric 3 pref medium",
       "main|unicast|2001:db8:5::7/128|3|2001:db8:1::1|eth0"},
      {true, "default via fe80::1 dev eth0 proto ra metric 1024 expires 1798sec pref medium",
       "main|unicast|::/0|1024|fe80::1|eth0"},
      {true, "default dev wwan0 metric 1024 pref medium", "main|unicast|::/0|1024||wwan0"},
      {false,
       "default proto static metric 100 \n\tnexthop via 192.0.2.1 dev eth0 weight 1 dead linkdown "
       "\n\tnexthop via 192.0.3.1 dev eth1 weight 1 \n",
       "main|unicast|0.0.0.0/0|100|||hop 192.0.2.1 eth0 dead|hop 192.0.3.1 eth1"},
  };
  for (const auto& c : cases) {
    const std::vector<ListedRoute> routes = ParseRouteListing(c.line, c.ipv6);
    ASSERT_EQ(1u, routes.size()) << c.line;
    EXPECT_EQ(c.expected, Describe(routes[0])) << c.line;
  }
}

TEST(ListedRouteIs, MatchesTheRouteTheHelperWrote) {
  const std::vector<ListedRoute> routes = ParseRouteListing(
      "default dev ppp0 table 100 scope link \n"
      "unreachable default table 1066 metric 4096 \n"
      "203.0.113.7 via 192.0.2.1 dev eth0 metric 3 \n",
      false);
  OwnedRoute table100{false, "", "default", "0.0.0.0", "ppp0", "", "100"};
  OwnedRoute fallback{false, "unreachable", "default", "", "", "4096", "1066"};
  OwnedRoute pin{false, "", "203.0.113.7/32", "192.0.2.1", "eth0", "3", ""};
  EXPECT_TRUE(ListedRouteIs(routes[0], table100));
  EXPECT_TRUE(ListedRouteIs(routes[1], fallback));
  EXPECT_TRUE(ListedRouteIs(routes[2], pin));
  pin.gateway = "192.0.3.1";
  EXPECT_FALSE(ListedRouteIs(routes[2], pin));
  table100.dev = "eth0";
  EXPECT_FALSE(ListedRouteIs(routes[0], table100));
}

TEST(SelectDefaultRoute, TheLowestMetricThroughALiveNextHop) {
  const struct {
    bool ipv6;
    std::string listing;
    std::string expected;
  } cases[] = {
      {false, "default via 192.0.2.1 dev eth0 metric 600 \ndefault via 192.0.3.1 dev eth1 metric 100 \n",
       "192.0.3.1 eth1"},
      {false, "default dev ppp0 scope link \n", "0.0.0.0 ppp0"},
      {true, "default dev wwan0 metric 1024 pref medium\n", " wwan0"},
      // The first next hop is dead: the pins go through the live one.
      {false,
       "default metric 5 \n\tnexthop via 192.0.2.1 dev eth0 weight 1 dead linkdown \n"
       "\tnexthop via 192.0.3.1 dev eth1 weight 1 \n",
       "192.0.3.1 eth1"},
      // The carrier lost: still the uplink; one the kernel calls dead is not.
      {false, "default via 192.0.2.1 dev eth0 linkdown \n", "192.0.2.1 eth0"},
      {true, "default via 2001:db8:1::1 dev eth0 metric 1024 linkdown pref medium\n", "2001:db8:1::1 eth0"},
      {false, "default via 192.0.2.1 dev eth0 dead linkdown \n", " "},
      // The tunnel's own routes are never the physical default route.
      {false, "default dev qtun0 metric 1 \ndefault via 192.0.2.1 dev eth0 metric 2 \n",
       "192.0.2.1 eth0"},
      {false, "default via 192.0.2.1 dev eth0 table 100 \n0.0.0.0/1 dev qtun0 metric 5 \n", " "},
      {false, "", " "},
  };
  for (const auto& c : cases) {
    const ListedDefaultRoute route = SelectDefaultRoute(ParseRouteListing(c.listing, c.ipv6), c.ipv6, "qtun0");
    EXPECT_EQ(c.expected, route.gateway + " " + route.dev) << c.listing;
  }
}

// Right after a move the helper's own default routes still name the device
// just left: taken for uplinks, they would have the guard built for it.
TEST(UplinkDevices, EveryUplinkButTheHelpersOwnRoutes) {
  const std::string listing4 =
      "default via 192.0.3.1 dev eth1 metric 100 \n"
      "default via 192.0.2.1 dev eth0 table 100 \n"
      "default via 192.0.2.1 dev eth0 table 1066 \n"
      "default dev qtun0 table 1067 \n"
      "default via 198.51.100.1 dev eth2 table 200 \n"
      "default metric 5 \n\tnexthop via 192.0.4.1 dev eth3 weight 1 \n"
      "\tnexthop dev ppp0 weight 1 \n";
  const std::string listing6 = "default via fe80::1 dev eth1 metric 1024 pref medium\n";
  const struct {
    DefaultRouteInfo icmp_table_route;
    std::vector<std::string> expected;
  } cases[] = {
      // Table 100's route is the helper's: left out.
      {{"192.0.2.1", "eth0"}, {"eth1", "eth2", "eth3", "ppp0", "eth1"}},
      // No bypass of the helper's there: the route is another owner's uplink.
      {{}, {"eth1", "eth0", "eth2", "eth3", "ppp0", "eth1"}},
      {{"192.0.3.1", "eth1"}, {"eth1", "eth0", "eth2", "eth3", "ppp0", "eth1"}},
  };
  TunnelPlan plan;
  plan.tun_name = "qtun0";
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, UplinkDevices(ParseRouteListing(listing4, false),
                                        ParseRouteListing(listing6, true),
                                        [&plan, &c](const ListedRoute& route) {
                                          return IsOwnedRoute(route, plan, c.icmp_table_route);
                                        }))
        << c.icmp_table_route.dev;
  }
}

TEST(ParseRuleListing, TheHelpersRulesAndNothingThatMerelyLooksLikeThem) {
  const std::vector<ListedRule> rules = ParseRuleListing(
      "0:\tfrom all lookup local\n"
      "100:\tfrom all fwmark 0x1 lookup 100\n"
      "100:\tfrom 192.168.2.0/24 fwmark 0x1 lookup 100\n"
      "1066:\tfrom all fwmark 0x66 lookup 1067 proto kernel\n"
      "garbage\n"
      "100:\tfrom all fwmark 0x1 ipproto icmp lookup 100\n");
  ASSERT_EQ(5u, rules.size());
  const OwnedRule any_protocol{false, "100", "0x1", "100", ""};
  const OwnedRule icmp{false, "100", "0x1", "100", "icmp"};
  EXPECT_TRUE(ListedRuleIs(rules[1], any_protocol));
  EXPECT_FALSE(ListedRuleIs(rules[1], icmp));
  EXPECT_FALSE(ListedRuleIs(rules[2], any_protocol));
  EXPECT_FALSE(ListedRuleIs(rules[3], {false, "1066", "0x66", "1067", ""}));
  EXPECT_TRUE(ListedRuleIs(rules[4], icmp));
  EXPECT_FALSE(ListedRuleIs(rules[4], any_protocol));
  EXPECT_EQ("rule del fwmark 0x1 ipproto icmp lookup 100 priority 100", RuleBatchLine("del", icmp));
  EXPECT_EQ("local", rules[0].table);
  EXPECT_FALSE(rules[0].other_selectors);
}

// Written by the helper, listed by iptables-save: each pair is one rule.
TEST(CanonicalFirewallRule, TheWrittenAndTheListedFormAreOneRule) {
  const std::pair<std::string, std::string> same[] = {
      {"-m cgroup --path zelmo-vpn-app-routing -j MARK --set-mark 0x66",
       "-m cgroup --path zelmo-vpn-app-routing -j MARK --set-xmark 0x66/0xffffffff"},
      {"-m cgroup --path a.slice/zelmo-vpn-app-routing -j MARK --set-mark 0x66",
       "-m cgroup --path \"a.slice/zelmo-vpn-app-routing\" -j MARK --set-xmark 0x66/0xffffffff"},
      {"-p icmp -j MARK --set-mark 1", "-p icmp -j MARK --set-xmark 0x1/0xffffffff"},
      {"-o eth0 -m mark --mark 0x66 -m connmark --mark 0x0 -m comment --comment x -j CONNMARK --save-mark",
       "-o eth0 -m mark --mark 0x66 -m connmark --mark 0x0 -m comment --comment x -j CONNMARK "
       "--save-mark --nfmask 0xffffffff --ctmask 0xffffffff"},
      {"-j REJECT", "-j REJECT --reject-with icmp-port-unreachable"},
      {"-j REJECT", "-j REJECT --reject-with icmp6-port-unreachable"},
      {"-d 203.0.113.7/32 -j RETURN", "-d 203.0.113.7/32 -j RETURN"},
      {"-d 2001:DB8:0::7/128 -j RETURN", "-d 2001:db8::7/128 -j RETURN"},
      {"-d 10.0.0.0/08 -j RETURN", "-d 10.0.0.0/8 -j RETURN"},
      {"-p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN",
       "-p ipv6-icmp -m icmp6 --icmpv6-type 135 -j RETURN"},
      {"-p udp --dport 53 -j RETURN", "-p udp -m udp --dport 53 -j RETURN"},
  };
  for (const auto& [written, listed] : same) EXPECT_TRUE(SameFirewallRule(written, listed)) << written;
  const std::pair<std::string, std::string> different[] = {
      {"-j REJECT", "-j REJECT --reject-with icmp-host-prohibited"},
      {"-o tun0 -j RETURN", "-o tun1 -j RETURN"},
      {"-d 203.0.113.7/32 -j RETURN", "-d 203.0.113.0/24 -j RETURN"},
      {"-m mark --mark 0x66 -j RETURN", "-m mark ! --mark 0x66 -j RETURN"},
      {"-p icmp -j MARK --set-mark 1", "-p icmp -j MARK --set-xmark 0x1/0xff"},
  };
  for (const auto& [a, b] : different) EXPECT_FALSE(SameFirewallRule(a, b)) << a << " / " << b;
}

TEST(ParseFirewallSave, TablesChainsAndRulesInOrder) {
  const FirewallListing listing = ParseFirewallSave(
      "# Generated by iptables-save\n*filter\n:INPUT ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n"
      ":ZELMO_KILLSWITCH - [0:0]\n-A OUTPUT -j ZELMO_KILLSWITCH\n-A OUTPUT -j ACCEPT\n"
      "-A ZELMO_KILLSWITCH -o lo -j RETURN\nCOMMIT\n*nat\n:POSTROUTING ACCEPT [0:0]\nCOMMIT\n");
  EXPECT_TRUE(listing.readable);
  EXPECT_TRUE(ListsChain(listing, "filter", "ZELMO_KILLSWITCH"));
  EXPECT_TRUE(ListsChain(listing, "nat", "POSTROUTING"));
  EXPECT_FALSE(ListsChain(listing, "mangle", "OUTPUT"));
  EXPECT_EQ((std::vector<std::string>{"-j ZELMO_KILLSWITCH", "-j ACCEPT"}),
            ListedRules(listing, "filter", "OUTPUT"));
  EXPECT_TRUE(ListedRules(listing, "raw", "OUTPUT").empty());
}

// One nf_tables notification of the family naming the table.
void AppendNotification(std::vector<unsigned char>* buffer, int type, int family,
                        const std::string& table) {
  std::vector<unsigned char> attribute(NLA_ALIGN(NLA_HDRLEN + table.size() + 1), 0);
  nlattr header_attribute{static_cast<uint16_t>(NLA_HDRLEN + table.size() + 1), 1};
  std::memcpy(attribute.data(), &header_attribute, sizeof(header_attribute));
  std::memcpy(attribute.data() + NLA_HDRLEN, table.c_str(), table.size());
  nfgenmsg gen{static_cast<uint8_t>(family), NFNETLINK_V0, 0};
  const size_t body = NLMSG_ALIGN(sizeof(gen)) + (table.empty() ? 0 : attribute.size());
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body));
  header.nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | type);
  std::vector<unsigned char> message(NLMSG_ALIGN(header.nlmsg_len), 0);
  std::memcpy(message.data(), &header, sizeof(header));
  std::memcpy(message.data() + NLMSG_HDRLEN, &gen, sizeof(gen));
  if (!table.empty()) {
    std::memcpy(message.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(gen)), attribute.data(),
                attribute.size());
  }
  buffer->insert(buffer->end(), message.begin(), message.end());
}

TEST(FirewallMessagesConcernHelper, OnlyTheTablesTheHelperUses) {
  const struct {
    int type;
    int family;
    std::string table;
    bool concerns;
  } cases[] = {
      {NFT_MSG_NEWRULE, NFPROTO_IPV4, "filter", true},
      {NFT_MSG_DELRULE, NFPROTO_IPV6, "mangle", true},
      {NFT_MSG_DELTABLE, NFPROTO_IPV4, "nat", true},
      {NFT_MSG_NEWRULE, NFPROTO_INET, "zelmo-vpn-dns", true},
      {NFT_MSG_NEWRULE, NFPROTO_IPV4, "raw", false},
      {NFT_MSG_NEWRULE, NFPROTO_INET, "filter", false},
      {NFT_MSG_NEWCHAIN, NFPROTO_BRIDGE, "filter", false},
      {NFT_MSG_NEWSETELEM, NFPROTO_INET, "firewalld", false},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> buffer;
    AppendNotification(&buffer, NFT_MSG_NEWGEN, NFPROTO_UNSPEC, "");
    AppendNotification(&buffer, c.type, c.family, c.table);
    EXPECT_EQ(c.concerns, FirewallMessagesConcernHelper(buffer.data(), buffer.size())) << c.table;
  }
  // A truncated message might have named anything.
  std::vector<unsigned char> buffer;
  AppendNotification(&buffer, NFT_MSG_NEWRULE, NFPROTO_INET, "other");
  EXPECT_FALSE(FirewallMessagesConcernHelper(buffer.data(), buffer.size()));
  EXPECT_TRUE(FirewallMessagesConcernHelper(buffer.data(), buffer.size() - 4));
}

TEST(FirewallEvents, OnlyTheNfTablesBackendAnnouncesChanges) {
  EXPECT_TRUE(ReportsNfTablesBackend("iptables v1.8.9 (nf_tables)\n"));
  EXPECT_FALSE(ReportsNfTablesBackend("iptables v1.8.9 (legacy)\n"));
  EXPECT_FALSE(ReportsNfTablesBackend(""));
}

}  // namespace

namespace {

NetworkView Tun(bool address4, bool address6) {
  NetworkView view;
  view.default4 = {"192.0.2.1", "eth0"};
  view.tun_ifindex = 7;
  view.tun_address4 = address4;
  view.tun_address6 = address6;
  view.tun_addresses_read = true;
  return view;
}

TEST(NetworkChangeLines, EachChangeOfTheViewToldOnce) {
  NetworkView moved = Tun(true, true);
  moved.default4 = {};
  NetworkView restarted = Tun(false, false);
  restarted.tun_ifindex = 8;
  NetworkView unread = Tun(false, false);
  unread.tun_addresses_read = false;
  const struct {
    std::string what;
    NetworkView before;
    NetworkView now;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing changed", Tun(true, true), Tun(true, true), {}},
      {"the IPv4 default route gone", Tun(true, true), moved, {"INFO: default4 via= dev="}},
      {"addresses gone", Tun(true, true), Tun(false, false),
       {"INFO: tun device tun0 has no IPv4 address", "INFO: tun device tun0 has no IPv6 address"}},
      {"an address back", Tun(false, true), Tun(true, true),
       {"INFO: tun device tun0 has an IPv4 address again"}},
      // A new device is told as one; its addresses are its own.
      {"another device", Tun(true, true), restarted,
       {"INFO: tun device tun0 is gone", "INFO: tun device tun0 is back; its routes are installed"}},
      // Addresses not read (the start's view) say nothing.
      {"not read before", unread, Tun(true, true), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.lines, NetworkChangeLines(c.before, c.now, "tun0")) << c.what;
}

// The shape of a hostile DHCP option 121: routes through a gateway on an
// uplink, more specific than the split halves.
TEST(RoutesAroundTunnel, RoutesThroughAnUplinksGatewayThatAreNotTheHelpers) {
  const std::string listing4 =
      "default via 192.0.2.1 dev eth0 \n"
      "0.0.0.0/2 via 192.0.2.1 dev eth0 \n"
      "1.0.0.0/8 via 192.0.2.1 dev eth0 proto dhcp metric 100 \n"
      "0.0.0.0/1 dev tun0 scope link metric 5 \n"
      "192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.2 \n"
      "10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3 \n"
      "10.20.0.0/16 via 192.0.2.1 dev eth0 metric 7 \n"
      "203.0.113.7 via 192.0.2.1 dev eth0 metric 3 \n"
      "172.16.0.0/12 via 192.0.3.1 dev eth1 \n"
      "8.8.0.0/16 via 192.0.2.1 dev eth0 table 200 \n";
  const std::string listing6 = "2001:db8:99::/48 via 2001:db8:1::1 dev eth0 metric 1024 pref medium\n";
  const std::vector<std::string> uplinks = {"eth0"};
  const std::vector<std::string> both = {"0.0.0.0/2 via 192.0.2.1 dev eth0", "1.0.0.0/8 via 192.0.2.1 dev eth0",
                                         "2001:db8:99::/48 via 2001:db8:1::1 dev eth0"};
  TunnelPlan plan = TypicalPlan();
  EXPECT_EQ(both, RoutesAroundTunnel(ParseRouteListing(listing4, false), ParseRouteListing(listing6, true),
                                     uplinks, plan, true));
  // Without the IPv6 split routes all IPv6 goes around anyway; without the
  // split routes at all (vpnOnlySelected) everything unselected does.
  EXPECT_EQ(std::vector<std::string>(both.begin(), both.end() - 1),
            RoutesAroundTunnel(ParseRouteListing(listing4, false), ParseRouteListing(listing6, true),
                               uplinks, plan, false));
  plan.tun_routes = false;
  EXPECT_TRUE(RoutesAroundTunnel(ParseRouteListing(listing4, false), ParseRouteListing(listing6, true),
                                 uplinks, plan, true)
                  .empty());
}

}  // namespace
