#include "killswitch/kill_switch_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "killswitch/guard_devices.h"
#include "killswitch/nft_listing.h"
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
      {"the host's upkeep: its ports and types, nothing else", same, {}, "upkeep",
       {"udp sport 68 udp dport 67 accept", "udp sport 546 udp dport 547 accept",
        "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept"}},
      {"the chain's judgement, rejecting", same, {}, "output",
       {"type filter hook output priority filter; policy accept;", "oifname \"lo\" accept",
        "oifname \"tun0\" meta nfproto ipv6 accept",
        "oifname \"tun0\" meta mark != 0x00000001 accept", "jump endpoint4", "jump endpoint6",
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
        "oifname \"tun0\" meta mark != 0x00000001 accept", "jump endpoint4", "jump endpoint6",
        "jump bypass", "meta mark 0x00000066 accept", "oifname \"docker0\" accept",
        "oifname \"virbr0\" accept", "jump upkeep",
        "ct status dnat meta l4proto { tcp, udp } th dport 53 ip daddr 192.0.2.53 accept",
        "ct status dnat meta l4proto { tcp, udp } th dport 53 ip6 daddr 2001:db8::53 accept",
        "reject"}},
      {"no endpoint address: empty chains to jump to",
       [](KillSwitchInputs* i) { i->endpoint = {}; }, {}, "endpoint6", {}},
  };
  for (const Case& c : cases) {
    KillSwitchInputs inputs = Typical();
    c.change(&inputs);
    inputs.lookup_targets = c.lookups;
    EXPECT_EQ(c.rules, ChainOf(KillSwitchGuardLines(inputs), c.chain)) << c.what;
  }
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
}

TEST(KillSwitchDevices, UplinksAndBridgesFromTheListings) {
  struct Case {
    const char* what;
    std::string routes4;
    std::string routes6;
    std::string bridges;
    Lines uplinks;
    Lines local_bridges;
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
       {"br0"}, {"virbr0"}},
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
  }
}

}  // namespace
