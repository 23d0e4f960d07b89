#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/dns_addresses.h"
#include "dns/dns_redirect_table.h"

namespace {

using Lines = std::vector<std::string>;

TEST(ParseDnsAddresses, RefusesEachBadValueNamingTheItemScreened) {
  const struct {
    std::string value;
    std::string error;
  } refused[] = {
      {"", "invalid --dns value: empty list"},
      {"10.0.0.53,,fd53::53", "invalid --dns value: item 2 is empty"},
      {"10.0.0.53,", "invalid --dns value: item 2 is empty"},
      {"dns.example", "invalid --dns address 'dns.example': not an IP address"},
      {"10.0.0.0/8", "invalid --dns address '10.0.0.0/8': a prefix, not an address"},
      {"fd53::/64", "invalid --dns address 'fd53::/64': a prefix, not an address"},
      {" 10.0.0.53", "invalid --dns address '?10.0.0.53': not an IP address"},
      {"1.1.1.1;rm\n-rf /'x", "invalid --dns address '1.1.1.1?rm?-rf?/?x': not an IP address"},
      {"fe80::1%eth0", "invalid --dns address 'fe80::1?eth0': not an IP address"},
      {std::string(70, 'a'),
       "invalid --dns address '" + std::string(64, 'a') + "...': not an IP address"},
      {"1.1.1.1,1.1.1.2,1.1.1.3,1.1.1.4,1.1.1.5,1.1.1.6,1.1.1.7,1.1.1.8,1.1.1.9",
       "invalid --dns address '1.1.1.9': more than 8 addresses"},
      {"127.0.0.53",
       "invalid --dns address '127.0.0.53': a loopback address, not a resolver beyond the tunnel"},
      {"::1", "invalid --dns address '::1': a loopback address, not a resolver beyond the tunnel"},
      {"0.0.0.0",
       "invalid --dns address '0.0.0.0': an unspecified address, not a resolver beyond the tunnel"},
      {"ff02::fb",
       "invalid --dns address 'ff02::fb': a multicast address, not a resolver beyond the tunnel"},
      {"::ffff:1.2.3.4",
       "invalid --dns address '::ffff:1.2.3.4': an IPv4-mapped address; give the IPv4 address, "
       "not a resolver beyond the tunnel"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> addresses = {"left over"};
    std::string error;
    EXPECT_FALSE(ParseDnsAddresses(c.value, &addresses, &error)) << c.value;
    EXPECT_EQ(c.error, error);
    EXPECT_TRUE(addresses.empty() || c.value.find(',') != std::string::npos) << c.value;
  }
}

TEST(ParseDnsAddresses, KeepsCanonicalAddressesInOrderWithoutDuplicates) {
  std::vector<std::string> addresses;
  std::string error;
  ASSERT_TRUE(
      ParseDnsAddresses("FD53:0::53,100.100.53.53,fd53::53,10.0.0.1,1.1.1.1,1.1.1.2,1.1.1.3,"
                        "1.1.1.4",
                        &addresses, &error));
  EXPECT_EQ(
      Lines({"fd53::53", "100.100.53.53", "10.0.0.1", "1.1.1.1", "1.1.1.2", "1.1.1.3", "1.1.1.4"}),
      addresses);
  EXPECT_EQ("", error);
  EXPECT_EQ("100.100.53.53", FirstDnsAddressOfFamily(addresses, AF_INET));
  EXPECT_EQ("fd53::53", FirstDnsAddressOfFamily(addresses, AF_INET6));
  EXPECT_EQ("", FirstDnsAddressOfFamily({"10.0.0.1"}, AF_INET6));
}

DnsRedirectInputs Inputs(DnsLookupScope scope, const std::vector<std::string>& addresses) {
  DnsRedirectInputs inputs;
  inputs.tun_name = "zelmo_vpn-tun0";
  inputs.addresses = addresses;
  inputs.endpoint.ipv4 = {"203.0.113.7", "vpn.example"};
  inputs.endpoint.ipv6 = {"2001:db8:5::7"};
  inputs.scope = scope;
  return inputs;
}

TEST(DnsRedirectTable, WholeTableWithoutAPolicy) {
  const Lines expected = {
      "table inet zelmo-vpn-dns {",
      "chain steer_lookups {",
      "type nat hook output priority -110; policy accept;",
      "meta l4proto != { tcp, udp } return",
      "th dport != 53 return",
      "ip daddr { 203.0.113.7, 100.100.53.53, 10.0.0.1 } return",
      "ip6 daddr { 2001:db8:5::7, fd53::53 } return",
      "ip daddr 127.0.0.0/8 return",
      "ip6 daddr ::1 return",
      "meta nfproto ipv4 dnat ip to 100.100.53.53",
      "meta nfproto ipv6 dnat ip6 to fd53::53",
      "}",
      "chain steer_forwarded {",
      "type nat hook prerouting priority -110; policy accept;",
      "meta l4proto != { tcp, udp } return",
      "th dport != 53 return",
      "ip daddr { 203.0.113.7, 100.100.53.53, 10.0.0.1 } return",
      "ip6 daddr { 2001:db8:5::7, fd53::53 } return",
      "iifname { \"lo\", \"zelmo_vpn-tun0\" } return",
      "fib daddr type local return",
      "fib daddr . iif oif exists return",
      "meta nfproto ipv4 dnat ip to 100.100.53.53",
      "meta nfproto ipv6 dnat ip6 to fd53::53",
      "}",
      "chain source_nat {",
      "type nat hook postrouting priority 100; policy accept;",
      "oifname \"zelmo_vpn-tun0\" ct status dnat ip daddr 100.100.53.53 meta l4proto { tcp, udp } "
      "th dport 53 masquerade",
      "oifname \"zelmo_vpn-tun0\" ct status dnat ip6 daddr fd53::53 meta l4proto { tcp, udp } th "
      "dport 53 masquerade",
      "}",
      "chain confine_lookups {",
      "type filter hook postrouting priority 0; policy accept;",
      "oifname != \"zelmo_vpn-tun0\" ct status dnat ip daddr 100.100.53.53 meta l4proto { tcp, udp "
      "} th dport 53 drop",
      "oifname != \"zelmo_vpn-tun0\" ct status dnat ip6 daddr fd53::53 meta l4proto { tcp, udp } "
      "th dport 53 drop",
      "}",
      "}",
  };
  EXPECT_EQ(expected, DnsRedirectTableLines(Inputs(DnsLookupScope::kAllLookups,
                                                   {"100.100.53.53", "fd53::53", "10.0.0.1"})));
}

// The lines that decide which lookups a chain acts on, and what it does.
Lines ChainLines(const Lines& table, const std::string& chain) {
  Lines lines;
  bool inside = false;
  for (const std::string& line : table) {
    if (line == "chain " + chain + " {") {
      inside = true;
    } else if (inside && line == "}") {
      break;
    } else if (inside && line.rfind("type ", 0) != 0 && line.rfind("meta l4proto != ", 0) != 0 &&
             line.rfind("th dport", 0) != 0 && line.find(" daddr {") == std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(DnsRedirectTable, ScopeFollowsThePolicyAndAFamilyWithoutAnAddressIsRefused) {
  const Lines forwarded = {"iifname { \"lo\", \"zelmo_vpn-tun0\" } return",
                           "fib daddr type local return", "fib daddr . iif oif exists return"};
  const Lines refused_forwarded = {"iifname { \"lo\", \"zelmo_vpn-tun0\" } return",
                                   "ct status dnat return", "fib daddr . iif oif exists return"};
  const struct {
    DnsLookupScope scope;
    std::vector<std::string> addresses;
    Lines steer;
    Lines refuse;
    Lines steer_forwarded;
    Lines refuse_forwarded;
  } cases[] = {
      {DnsLookupScope::kAllButSelected,
       {"100.100.53.53"},
       {"meta mark 0x66 return", "ip daddr 127.0.0.0/8 return", "ip6 daddr ::1 return",
        "meta nfproto ipv4 dnat ip to 100.100.53.53"},
       {"meta mark 0x66 return", "ip daddr 127.0.0.0/8 return", "ip6 daddr ::1 return",
        "meta nfproto ipv6 meta l4proto tcp reject with tcp reset", "meta nfproto ipv6 reject"},
       // Forwarded traffic takes the split routes: its lookups are redirected.
       {forwarded[0], forwarded[1], forwarded[2], "meta nfproto ipv4 dnat ip to 100.100.53.53"},
       {refused_forwarded[0], refused_forwarded[1], refused_forwarded[2],
        "meta nfproto ipv6 meta l4proto tcp reject with tcp reset", "meta nfproto ipv6 reject"}},
      // A selected program's lookup to a stub on 127.0.0.0/8 is redirected;
      // one to ::1 cannot be, and is refused. Forwarded traffic stays
      // outside the tunnel, and so do its lookups.
      {DnsLookupScope::kSelectedOnly,
       {"100.100.53.53", "fd53::53"},
       {"meta mark != 0x66 return", "ip6 daddr ::1 return",
        "meta nfproto ipv4 dnat ip to 100.100.53.53", "meta nfproto ipv6 dnat ip6 to fd53::53"},
       {"meta mark != 0x66 return", "ip6 daddr ::1 meta l4proto tcp reject with tcp reset",
        "ip6 daddr ::1 reject"},
       {},
       {}},
      {DnsLookupScope::kAllLookups,
       {"fd53::53"},
       {"ip daddr 127.0.0.0/8 return", "ip6 daddr ::1 return",
        "meta nfproto ipv6 dnat ip6 to fd53::53"},
       {"ip daddr 127.0.0.0/8 return", "ip6 daddr ::1 return",
        "meta nfproto ipv4 meta l4proto tcp reject with tcp reset", "meta nfproto ipv4 reject"},
       {forwarded[0], forwarded[1], forwarded[2], "meta nfproto ipv6 dnat ip6 to fd53::53"},
       {refused_forwarded[0], refused_forwarded[1], refused_forwarded[2],
        "meta nfproto ipv4 meta l4proto tcp reject with tcp reset", "meta nfproto ipv4 reject"}},
  };
  for (const auto& c : cases) {
    const Lines table = DnsRedirectTableLines(Inputs(c.scope, c.addresses));
    EXPECT_EQ(c.steer, ChainLines(table, "steer_lookups")) << c.addresses[0];
    EXPECT_EQ(c.refuse, ChainLines(table, "refuse_lookups")) << c.addresses[0];
    EXPECT_EQ(c.steer_forwarded, ChainLines(table, "steer_forwarded")) << c.addresses[0];
    EXPECT_EQ(c.refuse_forwarded, ChainLines(table, "refuse_forwarded")) << c.addresses[0];
  }
}

TEST(DnsRedirectTable, InstallReplacesAnEarlierCopyAndRecordsRouteLocalnet) {
  DnsRedirectInputs inputs = Inputs(DnsLookupScope::kSelectedOnly, {"100.100.53.53"});
  EXPECT_TRUE(NeedsRouteLocalnet(inputs));
  EXPECT_FALSE(NeedsRouteLocalnet(Inputs(DnsLookupScope::kSelectedOnly, {"fd53::53"})));
  EXPECT_FALSE(NeedsRouteLocalnet(Inputs(DnsLookupScope::kAllButSelected, {"100.100.53.53"})));
  inputs.route_localnet_raised = true;
  const std::string command = DnsRedirectInstallCommand(inputs);
  EXPECT_EQ(
      0u,
      command.find("printf '%s\\n' 'table inet zelmo-vpn-dns {}' 'delete table inet "
                   "zelmo-vpn-dns' 'table inet zelmo-vpn-dns {' 'set route_localnet_raised {' "
                   "'type ifname' 'elements = { \"zelmo_vpn-tun0\" }' '}' 'chain tunnel_loopback {'"))
      << command;
  // While the value is raised, nothing comes in through the tunnel for or
  // from loopback; without it there is no such chain.
  EXPECT_EQ((Lines{"iifname \"zelmo_vpn-tun0\" ip daddr 127.0.0.0/8 drop",
                   "iifname \"zelmo_vpn-tun0\" ip saddr 127.0.0.0/8 drop"}),
            ChainLines(DnsRedirectTableLines(inputs), "tunnel_loopback"));
  inputs.route_localnet_raised = false;
  EXPECT_EQ(Lines{}, ChainLines(DnsRedirectTableLines(inputs), "tunnel_loopback"));
  EXPECT_EQ(" | nft -f -", command.substr(command.size() - 11));
  EXPECT_EQ("nft delete table inet zelmo-vpn-dns >/dev/null 2>&1", DnsRedirectRemoveCommand());
}

TEST(DnsRedirectTable, ReadsBackTheTableAndTheScreenedDevices) {
  const std::string set_listing =
      "table inet zelmo-vpn-dns {\n\tset route_localnet_raised {\n\t\ttype ifname\n"
      "\t\telements = { \"zelmo_vpn-tun0\", \"..\", \"a;b\", \"qtun1\" }\n\t}\n}\n";
  EXPECT_EQ(Lines({"zelmo_vpn-tun0", "qtun1"}), ParseRouteLocalnetDevices(set_listing));
  EXPECT_EQ(Lines(), ParseRouteLocalnetDevices(""));
  EXPECT_EQ("/proc/sys/net/ipv4/conf/qtun1/route_localnet", RouteLocalnetPath("qtun1"));
  EXPECT_EQ("", RouteLocalnetPath("../all"));
}

}  // namespace
