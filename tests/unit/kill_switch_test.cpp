#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "killswitch/kill_switch.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/firewall_save.h"

namespace {

KillSwitchInputs Inputs4(const std::string& tun_name, const ResolvedAddresses& endpoint,
                         const std::vector<std::string>& bypass_prefixes, bool allow_app_mark) {
  KillSwitchInputs inputs;
  inputs.tun_name = tun_name;
  inputs.endpoint = endpoint;
  inputs.bypass_prefixes = bypass_prefixes;
  inputs.allow_app_mark = allow_app_mark;
  return inputs;
}

KillSwitchInputs Inputs6(const std::string& tun_name, const ResolvedAddresses& endpoint,
                         bool allow_app_mark) {
  return Inputs4(tun_name, endpoint, {}, allow_app_mark);
}

KillSwitchInputs WithIpv6(bool want_ipv6, const ResolvedAddresses& endpoint) {
  KillSwitchInputs inputs = Inputs4("tun0", endpoint, {}, false);
  inputs.want_ipv6 = want_ipv6;
  return inputs;
}

using Commands = std::vector<std::string>;

TEST(KillSwitchCommands, Ipv4ChainInOrderWithOnlyAddressesAndPrefixes) {
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"203.0.113.7", "vpn.example.com", "2001:db8::1", "198.51.100.9", "1.2.3.4/32"};
  const Commands expected = {
      "iptables -N ZELMO_KILLSWITCH",
      "iptables -F ZELMO_KILLSWITCH",
      "iptables -A ZELMO_KILLSWITCH -o lo -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -o tun0 ! -p icmp -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 198.51.100.9/32 -j RETURN",
      // The entry's own text goes in; normalising only decides whether it does.
      "iptables -A ZELMO_KILLSWITCH -d 10.0.0.0/08 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 192.168.1.0/24 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 255.255.255.255/32 -p udp --sport 68 --dport 67 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -j REJECT",
      "iptables -C OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1 || iptables -I OUTPUT 1 -j "
      "ZELMO_KILLSWITCH",
  };
  EXPECT_EQ(expected, BuildKillSwitchIpv4Commands(Inputs4(
                          "tun0", endpoint,
                          {"10.0.0.0/08", "10.0.0.0", "bad", "192.168.1.0/24", "1.2.3.4/33;x"},
                          false)));
}

TEST(KillSwitchCommands, Ipv6ChainSkipsNonAddressesAndHasNoPrefixes) {
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"203.0.113.7"};
  endpoint.ipv6 = {"2001:DB8::1", "203.0.113.7", "fe80::1%eth0", "::ffff:1.2.3.4"};
  const Commands expected = {
      "ip6tables -N ZELMO_KILLSWITCH",
      "ip6tables -F ZELMO_KILLSWITCH",
      "ip6tables -A ZELMO_KILLSWITCH -o lo -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -o qtun3 -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -d 2001:DB8::1/128 -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -d ::ffff:1.2.3.4/128 -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -d ff02::1:2/128 -p udp --sport 546 --dport 547 -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -p ipv6-icmp --icmpv6-type router-solicitation -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -j REJECT",
      "ip6tables -C OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1 || ip6tables -I OUTPUT 1 -j "
      "ZELMO_KILLSWITCH",
  };
  EXPECT_EQ(expected, BuildKillSwitchIpv6Commands(Inputs6("qtun3", endpoint, false)));
}

TEST(KillSwitchCommands, WhatEachInputAddsGoesBeforeTheReject) {
  // The rules between the tunnel's (three in IPv4, where the ICMP bypass's
  // marked pings are told apart; two in IPv6) and the final REJECT.
  struct Case {
    const char* what;
    bool app_mark;
    std::vector<std::string> bridges;
    std::vector<std::string> on_link;
    Commands ipv4;
    Commands ipv6;
  };
  const std::string ns = "-p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN";
  const std::string na = "-p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN";
  const std::string dhcp = "-d 255.255.255.255/32 -p udp --sport 68 --dport 67 -j RETURN";
  const std::string dhcp6 = "-d ff02::1:2/128 -p udp --sport 546 --dport 547 -j RETURN";
  const std::string rs = "-p ipv6-icmp --icmpv6-type router-solicitation -j RETURN";
  const std::string mark = "-m mark --mark 0x66 -j RETURN";
  // The host's own upkeep passes in every chain: a lease renewal, router
  // solicitation and neighbour discovery on whatever network it is on.
  const Case cases[] = {
      {"nothing else", false, {}, {}, {dhcp}, {ns, na, dhcp6, rs}},
      {"the app mark", true, {}, {}, {mark, dhcp}, {mark, ns, na, dhcp6, rs}},
      {"local bridges", false, {"docker0", "virbr0"}, {},
       {"-o docker0 -j RETURN", "-o virbr0 -j RETURN", dhcp},
       {ns, na, "-o docker0 -j RETURN", "-o virbr0 -j RETURN", dhcp6, rs}},
      // DHCP reaches a server only on the uplinks' own networks, or by
      // broadcast (DHCPv6: the servers' multicast group).
      {"on-link networks", false, {}, {"192.0.2.0/24", "2001:db8:1::/64", "fe80::/64"},
       {dhcp, "-d 192.0.2.0/24 -p udp --sport 68 --dport 67 -j RETURN"},
       {ns, na, dhcp6, "-d 2001:db8:1::/64 -p udp --sport 546 --dport 547 -j RETURN",
        "-d fe80::/64 -p udp --sport 546 --dport 547 -j RETURN", rs}},
  };
  ResolvedAddresses no_usable_ipv6;
  no_usable_ipv6.ipv6 = {"vpn.example.com"};
  for (const Case& c : cases) {
    KillSwitchInputs inputs = Inputs4("tun0", no_usable_ipv6, {}, c.app_mark);
    inputs.devices.local_bridges = c.bridges;
    inputs.devices.uplinks = {"eth0"};  // judged by the guard, not here
    for (const std::string& network : c.on_link) {
      (network.find(':') == std::string::npos ? inputs.devices.on_link4 : inputs.devices.on_link6)
          .push_back(network);
    }
    Commands ipv4 = KillSwitchIpv4Rules(inputs);
    Commands ipv6 = KillSwitchIpv6Rules(inputs);
    ASSERT_EQ("-j REJECT", ipv4.back()) << c.what;
    ASSERT_EQ("-j REJECT", ipv6.back()) << c.what;
    EXPECT_EQ(c.ipv4, Commands(ipv4.begin() + 3, ipv4.end() - 1)) << c.what;
    EXPECT_EQ(c.ipv6, Commands(ipv6.begin() + 2, ipv6.end() - 1)) << c.what;
  }
}

TEST(KillSwitchCommands, RedirectedLookupsPassBeforeTheRejectInTheirOwnFamily) {
  KillSwitchInputs inputs = Inputs4("tun0", {}, {"10.0.0.0/8"}, true);
  inputs.lookup_targets = {"100.100.53.53", "fd53::53", "bad;x"};
  const std::vector<std::string> ipv4 = KillSwitchIpv4Rules(inputs);
  const std::vector<std::string> ipv6 = KillSwitchIpv6Rules(inputs);
  ASSERT_GE(ipv4.size(), 2u);
  ASSERT_GE(ipv6.size(), 2u);
  EXPECT_EQ("-d fd53::53/128 -m conntrack --ctstate DNAT --ctorigdstport 53 -j RETURN",
            ipv6[ipv6.size() - 2]);
  // In the form the tool lists, so the watch finds the chain unchanged.
  EXPECT_TRUE(SameFirewallRule(
      "-d 100.100.53.53/32 -m conntrack --ctstate DNAT --ctorigdstport 53 -j RETURN",
      ipv4[ipv4.size() - 2]));
  for (const std::string& rule : ipv4) EXPECT_EQ(std::string::npos, rule.find("bad")) << rule;
}

TEST(KillSwitchCommands, TheLocalNetworkPassesLastAndOnlyWhereAsked) {
  KillSwitchInputs inputs = Inputs4("tun0", {}, {}, false);
  inputs.lookup_targets = {"100.100.53.53"};
  const Commands without4 = KillSwitchIpv4Rules(inputs);
  const Commands without6 = KillSwitchIpv6Rules(inputs);
  inputs.allow_lan = true;
  const Commands with4 = KillSwitchIpv4Rules(inputs);
  const Commands with6 = KillSwitchIpv6Rules(inputs);
  // Every rule as iptables-save lists it, so the watch finds the chain
  // unchanged: the lookups to the local network refused first, then the
  // local network's prefixes where the first route is not the tunnel.
  const Commands listed4 = {
      "-p udp -m udp --dport 53 -j REJECT --reject-with icmp-port-unreachable",
      "-p tcp -m tcp --dport 53 -j REJECT --reject-with icmp-port-unreachable",
      "-d 10.0.0.0/8 ! -o tun0 -j RETURN", "-d 172.16.0.0/12 ! -o tun0 -j RETURN",
      "-d 192.168.0.0/16 ! -o tun0 -j RETURN", "-d 169.254.0.0/16 ! -o tun0 -j RETURN",
      "-d 224.0.0.0/24 ! -o tun0 -j RETURN", "-d 239.255.255.250/32 ! -o tun0 -j RETURN",
      "-d 255.255.255.255/32 ! -o tun0 -j RETURN",
      "! -o tun0 -m addrtype --dst-type BROADCAST -j RETURN",
      "-j REJECT --reject-with icmp-port-unreachable"};
  const Commands listed6 = {
      "-p udp -m udp --dport 53 -j REJECT --reject-with icmp6-port-unreachable",
      "-p tcp -m tcp --dport 53 -j REJECT --reject-with icmp6-port-unreachable",
      "-d fe80::/10 ! -o tun0 -j RETURN", "-d fc00::/7 ! -o tun0 -j RETURN",
      "-d ff02::/16 ! -o tun0 -j RETURN", "-j REJECT --reject-with icmp6-port-unreachable"};
  struct Case {
    const char* family;
    const Commands& without;
    const Commands& with;
    const Commands& listed;
  };
  for (const Case& c : {Case{"IPv4", without4, with4, listed4}, Case{"IPv6", without6, with6, listed6}}) {
    ASSERT_EQ(c.without.size() - 1 + c.listed.size(), c.with.size()) << c.family;
    // Everything before stays as it was, the redirected lookups included.
    EXPECT_EQ(Commands(c.without.begin(), c.without.end() - 1),
              Commands(c.with.begin(), c.with.begin() + c.without.size() - 1))
        << c.family;
    for (size_t i = 0; i < c.listed.size(); ++i) {
      EXPECT_TRUE(SameFirewallRule(c.listed[i], c.with[c.without.size() - 1 + i]))
          << c.family << ": " << c.listed[i];
    }
  }
}

TEST(KillSwitchCommands, Ipv6IsGuardedWhenTheHostOrTheEndpointUsesIt) {
  ResolvedAddresses with_ipv6;
  with_ipv6.ipv6 = {"2001:db8::1"};
  ResolvedAddresses without_ipv6;
  without_ipv6.ipv4 = {"203.0.113.7"};
  EXPECT_FALSE(WantsIpv6KillSwitch(WithIpv6(false, without_ipv6)));
  EXPECT_TRUE(WantsIpv6KillSwitch(WithIpv6(true, without_ipv6)));
  EXPECT_TRUE(WantsIpv6KillSwitch(WithIpv6(false, with_ipv6)));
  EXPECT_TRUE(WantsIpv6KillSwitch(WithIpv6(true, with_ipv6)));
}

TEST(KillSwitchCommands, CleanupUnhooksBeforeDeletingInBothFamilies) {
  const Commands expected = {
      "iptables -D OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1",
      "iptables -F ZELMO_KILLSWITCH >/dev/null 2>&1",
      "iptables -X ZELMO_KILLSWITCH >/dev/null 2>&1",
      "ip6tables -D OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1",
      "ip6tables -F ZELMO_KILLSWITCH >/dev/null 2>&1",
      "ip6tables -X ZELMO_KILLSWITCH >/dev/null 2>&1",
      "nft delete table inet zelmo-vpn-killswitch >/dev/null 2>&1",
      "nft delete table bridge zelmo-vpn-killswitch >/dev/null 2>&1",
      "while iptables -D OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1; do :; done; iptables -X "
      "ZELMO_KILLSWITCH >/dev/null 2>&1",
      "while ip6tables -D OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1; do :; done; ip6tables -X "
      "ZELMO_KILLSWITCH >/dev/null 2>&1",
  };
  EXPECT_EQ(expected, BuildKillSwitchCleanupCommands());
}

TEST(RunKillSwitchCommand, FailureNamesTheWholeCommandAndSuccessLeavesErrorAlone) {
  std::string error = "untouched";
  EXPECT_TRUE(RunKillSwitchCommand("true", &error));
  EXPECT_EQ("untouched", error);
  EXPECT_FALSE(RunKillSwitchCommand("exit 3 >/dev/null 2>&1 || exit 4", &error));
  EXPECT_EQ("kill switch command failed: exit 3 >/dev/null 2>&1 || exit 4", error);
}


}  // namespace

// A takeover replaces a killed run's chain in one transaction: every jump it
// finds goes and one comes back first, whatever another program put before.
TEST(KillSwitchCommands, ReplaceRefillsTheChainAndLeavesOneJumpFirst) {
  const std::string listing =
      "*filter\n:OUTPUT ACCEPT [0:0]\n:ZELMO_KILLSWITCH - [0:0]\n"
      "-A OUTPUT -j ACCEPT -m comment --comment other\n-A OUTPUT -j ZELMO_KILLSWITCH\n"
      "-A OUTPUT -j ZELMO_KILLSWITCH\n-A ZELMO_KILLSWITCH -j REJECT\nCOMMIT\n";
  const struct {
    std::string listing;
    size_t jumps;
  } cases[] = {{"", 0}, {listing, 2}, {"*nat\n-A OUTPUT -j ZELMO_KILLSWITCH\nCOMMIT\n", 0}};
  for (const auto& c : cases) EXPECT_EQ(c.jumps, CountKillSwitchJumps(c.listing)) << c.listing;

  EXPECT_EQ((std::vector<std::string>{"*filter", ":ZELMO_KILLSWITCH - [0:0]",
                                      "-A ZELMO_KILLSWITCH -o lo -j RETURN",
                                      "-A ZELMO_KILLSWITCH -j REJECT", "-D OUTPUT -j ZELMO_KILLSWITCH",
                                      "-D OUTPUT -j ZELMO_KILLSWITCH",
                                      "-I OUTPUT 1 -j ZELMO_KILLSWITCH", "COMMIT"}),
            BuildKillSwitchReplaceLines({"-o lo -j RETURN", "-j REJECT"}, 2));
}
