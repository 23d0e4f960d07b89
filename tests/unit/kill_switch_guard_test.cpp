#include "killswitch/kill_switch_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "killswitch/guard_devices.h"
#include "lifecycle/nft_table_commands.h"
#include "lifecycle/route_listing.h"

namespace {

using Lines = std::vector<std::string>;

KillSwitchInputs Typical() {
  KillSwitchInputs inputs;
  inputs.tun_name = "tun0";
  inputs.endpoint.ipv4 = {"203.0.113.7", "vpn.example.com"};
  inputs.endpoint.ipv6 = {"2001:DB8:5:0::7", "203.0.113.7"};
  inputs.bypass_prefixes = {"10.20.0.0/16", "10.1.2.3/32", "bad"};
  inputs.devices.uplinks = {"eth0"};
  return inputs;
}

// The rules of one chain in the guard's lines, its header included.
Lines ChainOf(const Lines& lines, const std::string& chain) {
  Lines rules;
  bool inside = false;
  for (const std::string& line : lines) {
    if (line == "chain " + chain + " {") {
      inside = true;
    } else if (inside && line == "}") {
      return rules;
    } else if (inside) {
      rules.push_back(line);
    }
  }
  return rules;
}

TEST(KillSwitchGuard, EachInputReachesTheChainsItConcerns) {
  struct Case {
    const char* what;
    void (*change)(KillSwitchInputs*);
    Lines lookups;
    const char* chain;
    Lines rules;  // the chain's lines between its braces
  };
  const auto same = [](KillSwitchInputs*) {};
  const Case cases[] = {
      {"endpoint addresses as nft lists them, only addresses", same, {}, "endpoint6",
       {"ip6 daddr 2001:db8:5::7 accept"}},
      {"prefixes with host bits cleared, a /32 as the bare address", same, {}, "bypass",
       {"ip daddr 10.20.0.0/16 accept", "ip daddr 10.1.2.3 accept"}},
      {"the host's upkeep: its ports and types, DHCP by broadcast alone without a network", same,
       {}, "upkeep",
       {"ip daddr 255.255.255.255 udp sport 68 udp dport 67 accept",
        "ip6 daddr ff02::1:2 udp sport 546 udp dport 547 accept",
        "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept"}},
      {"DHCP also to the uplinks' networks, as nft lists them",
       [](KillSwitchInputs* i) {
         i->devices.on_link4 = {"192.0.2.0/24", "100.64.0.1/32"};
         i->devices.on_link6 = {"fe80::/64", "2001:db8:64::2/128", "2001:db8::/32"};
       },
       {}, "upkeep",
       {"ip daddr 255.255.255.255 udp sport 68 udp dport 67 accept",
        "ip daddr 192.0.2.0/24 udp sport 68 udp dport 67 accept",
        "ip daddr 100.64.0.1 udp sport 68 udp dport 67 accept",
        "ip6 daddr ff02::1:2 udp sport 546 udp dport 547 accept",
        "ip6 daddr fe80::/64 udp sport 546 udp dport 547 accept",
        "ip6 daddr 2001:db8:64::2 udp sport 546 udp dport 547 accept",
        "ip6 daddr 2001:db8::/32 udp sport 546 udp dport 547 accept",
        "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept"}},
      {"the chain's judgement, rejecting", same, {}, "output",
       {"type filter hook output priority filter; policy accept;", "oifname \"lo\" accept",
        "oifname \"tun0\" meta nfproto ipv6 accept",
        "oifname \"tun0\" meta mark != 0x00000001 accept",
        "oifname \"tun0\" meta l4proto != icmp accept", "jump endpoint4", "jump endpoint6",
        "jump bypass", "jump upkeep", "reject"}},
      {"no uplink: nothing forwarded is judged", [](KillSwitchInputs* i) { i->devices.uplinks = {}; },
       {}, "forward", {"type filter hook forward priority filter; policy accept;"}},
      {"every uplink is judged; a name that is no safe word goes nowhere",
       [](KillSwitchInputs* i) { i->devices.uplinks = {"eth0", "e\"; flush ruleset", "wwan0"}; },
       {}, "postrouting",
       {"type filter hook postrouting priority filter; policy accept;",
        "oifname \"eth0\" jump postrouting-uplink", "oifname \"wwan0\" jump postrouting-uplink"}},
      {"connections coming in through each uplink are labelled",
       [](KillSwitchInputs* i) { i->devices.uplinks = {"eth0", "wwan0"}; }, {}, "prerouting",
       {"type filter hook prerouting priority filter; policy accept;",
        "iifname \"eth0\" ct state new ct label set 127",
        "iifname \"wwan0\" ct state new ct label set 127"}},
      {"a bypassed program's mark leaves through an uplink",
       [](KillSwitchInputs* i) { i->allow_app_mark = i->app_mark_to_uplinks = true; }, {},
       "postrouting-uplink",
       {"jump endpoint4", "jump endpoint6", "jump bypass", "ct direction reply ct label 127 accept",
        "meta mark 0x00000066 accept", "jump upkeep", "drop"}},
      {"a tunnel-only program's passes the output chain but never leaves through an uplink",
       [](KillSwitchInputs* i) { i->allow_app_mark = true; }, {}, "postrouting-uplink",
       {"jump endpoint4", "jump endpoint6", "jump bypass", "ct direction reply ct label 127 accept",
        "jump upkeep", "drop"}},
      {"and neither is forwarded", [](KillSwitchInputs* i) { i->allow_app_mark = i->app_mark_to_uplinks = true; }, {},
       "forward-uplink",
       {"jump endpoint4", "jump endpoint6", "jump bypass", "ct direction reply ct label 127 accept",
        "reject"}},
      {"bridges and redirected lookups pass the output chain",
       [](KillSwitchInputs* i) {
         i->allow_app_mark = true;
         i->devices.local_bridges = {"docker0", "virbr0"};
       },
       {"192.0.2.53", "resolver.example", "2001:DB8::53"}, "output",
       {"type filter hook output priority filter; policy accept;", "oifname \"lo\" accept",
        "oifname \"tun0\" meta nfproto ipv6 accept",
        "oifname \"tun0\" meta mark != 0x00000001 accept",
        "oifname \"tun0\" meta l4proto != icmp accept", "jump endpoint4", "jump endpoint6",
        "jump bypass", "meta mark 0x00000066 accept", "oifname \"docker0\" accept",
        "oifname \"virbr0\" accept", "jump upkeep",
        "ct status dnat meta l4proto { tcp, udp } th dport 53 ip daddr 192.0.2.53 accept",
        "ct status dnat meta l4proto { tcp, udp } th dport 53 ip6 daddr 2001:db8::53 accept",
        "reject"}},
      // Frames bridged on an uplink bridge (label 126, from the bridge
      // table's mark) stay on it; what the host routes out is judged.
      {"a bridged uplink's own frames stay on it",
       [](KillSwitchInputs* i) {
         i->devices.uplinks = {"br0", "wwan0"};
         i->devices.bridged_uplinks = {"br0"};
       },
       {}, "forward",
       {"type filter hook forward priority filter; policy accept;",
        "iifname \"br0\" oifname \"br0\" ct label 126 accept", "oifname \"br0\" jump forward-uplink",
        "oifname \"wwan0\" jump forward-uplink"}},
      {"also where they leave",
       [](KillSwitchInputs* i) {
         i->devices.uplinks = {"br0"};
         i->devices.bridged_uplinks = {"br0"};
       },
       {}, "postrouting",
       {"type filter hook postrouting priority filter; policy accept;",
        "oifname \"br0\" ct label 126 accept", "oifname \"br0\" jump postrouting-uplink"}},
      {"the bridge table's mark becomes the label on an uplink bridge and goes everywhere",
       [](KillSwitchInputs* i) {
         i->devices.uplinks = {"br0"};
         i->devices.bridged_uplinks = {"br0", "b;r"};
       },
       {}, "bridged",
       {"type filter hook prerouting priority -190; policy accept;",
        "iifname \"br0\" meta mark 0x0000007e ct label set 126",
        "meta mark 0x0000007e meta mark set 0x00000000"}},
      {"no bridged uplink: the mark only goes", same, {}, "bridged",
       {"type filter hook prerouting priority -190; policy accept;",
        "meta mark 0x0000007e meta mark set 0x00000000"}},
      {"no endpoint address: empty chains to jump to",
       [](KillSwitchInputs* i) { i->endpoint = {}; }, {}, "endpoint6", {}},
      {"the local network: devices with an Ethernet link layer, no lookups, private prefixes",
       [](KillSwitchInputs* i) { i->allow_lan = true; }, {}, "local-network",
       {"meta oiftype != ether return", "meta l4proto { tcp, udp } th dport 53 return",
        "ip daddr 10.0.0.0/8 accept", "ip daddr 172.16.0.0/12 accept",
        "ip daddr 192.168.0.0/16 accept", "ip daddr 169.254.0.0/16 accept",
        "ip daddr 224.0.0.0/24 accept", "ip daddr 239.255.255.250 accept",
        "ip daddr 255.255.255.255 accept", "fib daddr type broadcast accept",
        "ip6 daddr fe80::/10 accept", "ip6 daddr fc00::/7 accept", "ip6 daddr ff02::/16 accept"}},
      {"the host's own local network, after everything else", [](KillSwitchInputs* i) {
         i->allow_lan = true;
       },
       {"192.0.2.53"}, "output",
       {"type filter hook output priority filter; policy accept;", "oifname \"lo\" accept",
        "oifname \"tun0\" meta nfproto ipv6 accept",
        "oifname \"tun0\" meta mark != 0x00000001 accept",
        "oifname \"tun0\" meta l4proto != icmp accept", "jump endpoint4", "jump endpoint6",
        "jump bypass", "jump upkeep",
        "ct status dnat meta l4proto { tcp, udp } th dport 53 ip daddr 192.0.2.53 accept",
        "jump local-network", "reject"}},
      {"forwarded to the local network through an uplink",
       [](KillSwitchInputs* i) { i->allow_lan = true; }, {}, "forward-uplink",
       {"jump endpoint4", "jump endpoint6", "jump bypass", "ct direction reply ct label 127 accept",
        "jump local-network", "reject"}},
      {"leaving for the local network through an uplink",
       [](KillSwitchInputs* i) { i->allow_lan = true; }, {}, "postrouting-uplink",
       {"jump endpoint4", "jump endpoint6", "jump bypass", "ct direction reply ct label 127 accept",
        "jump upkeep", "jump local-network", "drop"}},
  };
  for (const Case& c : cases) {
    KillSwitchInputs inputs = Typical();
    c.change(&inputs);
    inputs.lookup_targets = c.lookups;
    EXPECT_EQ(c.rules, ChainOf(KillSwitchGuardLines(inputs), c.chain)) << c.what;
  }
}

TEST(KillSwitchGuard, NoLocalNetworkChainUnlessAsked) {
  const Lines lines = KillSwitchGuardLines(Typical());
  EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "chain local-network {"));
}

// The watch and the driver compare the table as nft lists it, line by line.
TEST(ParseNftTableListing, ListedOnlyWhenTheTableHoldsExactlyTheLines) {
  const Lines lines = KillSwitchGuardLines(Typical());
  std::string listing;
  for (const std::string& line : lines) {
    listing += (line.rfind("chain ", 0) == 0 ? "\n\t" : "\t\t") + line + "\n";
  }
  struct Case {
    const char* what;
    std::string listing;
    bool listed;
  };
  std::string extra = listing;
  extra.insert(extra.find("\t\treject"), "\t\taccept\n");
  std::string fewer = listing;
  fewer.erase(fewer.find("\t\tdrop\n"), 7);
  std::string swapped = listing;
  swapped.replace(swapped.find("jump endpoint4\n\t\tjump endpoint6"), 29,
                  "jump endpoint6\n\t\tjump endpoint4");
  const Case cases[] = {
      {"as nft lists it, indented and with blank lines", listing, true},
      {"no table", "", false},
      {"a rule slipped in", extra, false},
      {"a rule taken out", fewer, false},
      {"two rules swapped", swapped, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.listed, ParseNftTableListing(c.listing) == lines) << c.what;
}

TEST(KillSwitchGuard, CommandsReplaceInOneTransaction) {
  const std::string install = KillSwitchGuardInstallCommand({"table inet zelmo-vpn-killswitch {", "}"});
  EXPECT_EQ("printf '%s\\n' 'table inet zelmo-vpn-killswitch {}' 'delete table inet "
            "zelmo-vpn-killswitch' 'table inet zelmo-vpn-killswitch {' '}' | nft -f -",
            install);
  EXPECT_EQ("nft delete table inet zelmo-vpn-killswitch >/dev/null 2>&1",
            KillSwitchGuardCleanupCommand());
  // The start makes the bridge table in the same transaction, where an
  // uplink is a bridge.
  KillSwitchInputs inputs = Typical();
  EXPECT_EQ(KillSwitchGuardInstallCommand(KillSwitchGuardLines(inputs)),
            KillSwitchGuardStartCommand(inputs));
  inputs.devices.bridged_uplinks = {"br0"};
  const std::string start = KillSwitchGuardStartCommand(inputs);
  EXPECT_NE(std::string::npos,
            start.find("'table bridge zelmo-vpn-killswitch {}' 'delete table bridge "
                       "zelmo-vpn-killswitch' 'table bridge zelmo-vpn-killswitch {' "
                       "'chain prerouting {'"))
      << start;
}

TEST(KillSwitchDevices, UplinksAndBridgesFromTheListings) {
  struct Case {
    const char* what;
    std::string routes4;
    std::string routes6;
    std::string bridges;
    Lines uplinks;
    Lines local_bridges;
    Lines bridged_uplinks = {};
  };
  const Case cases[] = {
      {"one default route per family",
       "default via 192.0.2.1 dev eth0 \n", "default via fe80::1 dev eth0 proto ra metric 1024 pref medium\n",
       "7: docker0: <NO-CARRIER,BROADCAST,MULTICAST,UP> mtu 1500 qdisc noqueue state DOWN\\    link/ether 02:42:ac:11:00:01 brd ff:ff:ff:ff:ff:ff\n",
       {"eth0"}, {"docker0"}},
      {"multipath, gateway-less and other tables; the tunnel and unreachable routes are not uplinks",
       "default proto static metric 100 \\\tnexthop via 10.0.0.1 dev eth1 weight 1 \\\tnexthop via 10.0.1.1 dev eth2 weight 1 \n"
       "default via 192.0.2.1 dev eth0 table 100 \nunreachable default table 1067 metric 4096 \n"
       "default dev tun0 table 1067 scope link \n",
       "default dev wwan0 metric 1024 pref medium\n", "",
       {"eth1", "eth2", "eth0", "wwan0"}, {}},
      {"a bridge that carries a default route is an uplink",
       "default via 192.168.1.1 dev br0 \n", "",
       "4: br0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500\n5: virbr0: <BROADCAST> mtu 1500\n",
       {"br0"}, {"virbr0"}, {"br0"}},
      {"names that are not safe words are left out",
       "default via 192.0.2.1 dev e$(x) \n", "", "9: br;x: <UP> mtu 1500\n10: br1@if3: <UP>\n", {},
       {"br1"}},
      {"no network", "", "", "", {}, {}},
  };
  for (const Case& c : cases) {
    const Lines uplinks = UplinkDevices(ParseOneLineRouteListing(c.routes4, false),
                                        ParseOneLineRouteListing(c.routes6, true),
                                        [](const ListedRoute&) { return false; });
    const KillSwitchDevices devices = KillSwitchDevicesOf(uplinks, c.bridges, "tun0");
    EXPECT_EQ(c.uplinks, devices.uplinks) << c.what;
    EXPECT_EQ(c.local_bridges, devices.local_bridges) << c.what;
    EXPECT_EQ(c.bridged_uplinks, devices.bridged_uplinks) << c.what;
  }
}

// The networks DHCP may reach: what the kernel routes onto an uplink
// without a gateway, in any table.
TEST(KillSwitchDevices, OnLinkNetworksOfTheUplinksFromTheRouteListings) {
  const std::string routes4 =
      "default via 192.0.2.1 dev eth0 proto dhcp metric 100 \n"
      "192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.2 metric 100 \n"
      "10.9.0.0/16 via 192.0.2.1 dev eth0 \n"              // through a gateway
      "172.30.0.0/24 dev ctbr0 proto kernel scope link \n"  // a local bridge's
      "0.0.0.0/1 dev tun0 scope link metric 5 \n"           // the tunnel's
      "default dev ppp0 scope link \n"                      // not everything is on-link
      "100.64.0.1 dev ppp0 proto kernel scope link src 100.64.0.2 \n"
      "192.168.7.0/24 dev eth0 table 200 scope link \n"
      "broadcast 192.0.2.255 dev eth0 table local proto kernel scope link src 192.0.2.2 \n"
      "local 192.0.2.2 dev eth0 table local proto kernel scope host src 192.0.2.2 \n"
      "192.0.2.0/24 dev eth0 table 201 scope link \n";
  const std::string routes6 =
      "2001:db8:1::/64 dev eth0 proto ra metric 100 pref medium\n"
      "fe80::/64 dev eth0 proto kernel metric 256 pref medium\n"
      "fe80::/64 dev tun0 proto kernel metric 256 pref medium\n"
      "default via fe80::1 dev eth0 proto ra metric 100 pref medium\n"
      "multicast ff00::/8 dev eth0 table local proto kernel metric 256 pref medium\n";
  KillSwitchDevices devices;
  devices.uplinks = {"eth0", "ppp0"};
  AddOnLinkNetworks(ParseRouteListing(routes4, false), ParseRouteListing(routes6, true), &devices);
  EXPECT_EQ((Lines{"192.0.2.0/24", "100.64.0.1/32", "192.168.7.0/24"}), devices.on_link4);
  EXPECT_EQ((Lines{"2001:db8:1::/64", "fe80::/64"}), devices.on_link6);
}

}  // namespace
