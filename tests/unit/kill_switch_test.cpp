#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "killswitch/kill_switch.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_repair.h"

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
      "iptables -A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 198.51.100.9/32 -j RETURN",
      // The entry's own text goes in; normalising only decides whether it does.
      "iptables -A ZELMO_KILLSWITCH -d 10.0.0.0/08 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 192.168.1.0/24 -j RETURN",
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
      "ip6tables -A ZELMO_KILLSWITCH -j REJECT",
      "ip6tables -C OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1 || ip6tables -I OUTPUT 1 -j "
      "ZELMO_KILLSWITCH",
  };
  EXPECT_EQ(expected, BuildKillSwitchIpv6Commands(Inputs6("qtun3", endpoint, false)));
}

TEST(KillSwitchCommands, EmptyListsGiveTheMinimalChains) {
  const Commands ipv4 = BuildKillSwitchIpv4Commands(Inputs4("tun0", {}, {}, false));
  ASSERT_EQ(6u, ipv4.size());
  EXPECT_EQ("iptables -A ZELMO_KILLSWITCH -j REJECT", ipv4[4]);
  // Without an IPv6 endpoint there is nothing to resolve a neighbour for.
  ResolvedAddresses no_usable_ipv6;
  no_usable_ipv6.ipv6 = {"vpn.example.com"};
  const Commands ipv6 = BuildKillSwitchIpv6Commands(Inputs6("tun0", no_usable_ipv6, false));
  ASSERT_EQ(6u, ipv6.size());
  EXPECT_EQ("ip6tables -A ZELMO_KILLSWITCH -j REJECT", ipv6[4]);
  EXPECT_EQ("ip6tables -A ZELMO_KILLSWITCH -o tun0 -j RETURN", ipv6[3]);
}

TEST(KillSwitchCommands, AppRoutingMarkPassesBeforeTheRejectInBothFamilies) {
  const Commands ipv4 = BuildKillSwitchIpv4Commands(Inputs4("tun0", {}, {}, true));
  ASSERT_EQ(7u, ipv4.size());
  EXPECT_EQ("iptables -A ZELMO_KILLSWITCH -m mark --mark 0x66 -j RETURN", ipv4[4]);
  EXPECT_EQ("iptables -A ZELMO_KILLSWITCH -j REJECT", ipv4[5]);
  // A bypassed program's IPv6 peer is reached through the gateway, whose
  // link address neighbour discovery must be able to find.
  const Commands ipv6 = BuildKillSwitchIpv6Commands(Inputs6("tun0", {}, true));
  const Commands expected_tail = {
      "ip6tables -A ZELMO_KILLSWITCH -m mark --mark 0x66 -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN",
      "ip6tables -A ZELMO_KILLSWITCH -j REJECT",
  };
  ASSERT_EQ(9u, ipv6.size());
  EXPECT_EQ(expected_tail, Commands(ipv6.begin() + 4, ipv6.end() - 1));
}

TEST(KillSwitchCommands, RedirectedLookupsPassBeforeTheRejectInTheirOwnFamily) {
  KillSwitchInputs inputs = Inputs4("tun0", {}, {"10.0.0.0/8"}, true);
  inputs.lookup_targets = {"100.100.53.53", "fd53::53", "bad;x"};
  const std::vector<std::string> ipv6 = KillSwitchIpv6Rules(inputs);
  ASSERT_EQ(7u, ipv6.size());
  EXPECT_EQ("-d fd53::53/128 -m conntrack --ctstate DNAT --ctorigdstport 53 -j RETURN", ipv6[5]);
  // In the form the tool lists, so the watch finds the chain unchanged.
  const std::vector<std::string> listed = {
      "-o lo -j RETURN", "-o tun0 -m mark ! --mark 0x1 -j RETURN", "-d 10.0.0.0/8 -j RETURN",
      "-m mark --mark 0x66 -j RETURN",
      "-d 100.100.53.53/32 -m conntrack --ctstate DNAT --ctorigdstport 53 -j RETURN",
      "-j REJECT --reject-with icmp-port-unreachable"};
  EXPECT_TRUE(ChainHoldsExactly(listed, KillSwitchIpv4Rules(inputs)));
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


// The chain's rules ("-A CHAIN RULE" commands of a build) as a list, after
// the "-I CHAIN N RULE" inserts are applied to it.
std::vector<std::string> ChainRules(const std::string& tool, const Commands& build,
                                    const Commands& inserts) {
  const std::string append = tool + " -A ZELMO_KILLSWITCH ";
  const std::string insert = tool + " -I ZELMO_KILLSWITCH ";
  std::vector<std::string> rules;
  for (const std::string& command : build) {
    if (command.rfind(append, 0) == 0) rules.push_back(command.substr(append.size()));
  }
  for (const std::string& command : inserts) {
    if (command.rfind(insert, 0) != 0) continue;
    const std::string rest = command.substr(insert.size());
    const size_t space = rest.find(' ');
    const size_t position = std::stoul(rest.substr(0, space));
    EXPECT_LE(position, rules.size() + 1) << command;
    rules.insert(rules.begin() + static_cast<long>(position - 1), rest.substr(space + 1));
  }
  return rules;
}

TEST(KillSwitchCommands, EndpointResolvedLaterGivesTheChainAFreshBuildWouldHave) {
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"203.0.113.7", "203.0.113.8"};
  endpoint.ipv6 = {"2001:db8:5::7", "2001:db8:5::8"};
  const std::vector<std::string> prefixes = {"10.0.0.0/8"};
  for (const bool app_mark : {false, true}) {
    const Commands inserts = BuildKillSwitchEndpointInsertCommands(endpoint, true, app_mark);
    EXPECT_EQ(ChainRules("iptables", BuildKillSwitchIpv4Commands(Inputs4("tun0", endpoint, prefixes, app_mark)), {}),
              ChainRules("iptables", BuildKillSwitchIpv4Commands(Inputs4("tun0", {}, prefixes, app_mark)), inserts))
        << "app mark " << app_mark;
    EXPECT_EQ(ChainRules("ip6tables", BuildKillSwitchIpv6Commands(Inputs6("tun0", endpoint, app_mark)), {}),
              ChainRules("ip6tables", BuildKillSwitchIpv6Commands(Inputs6("tun0", {}, app_mark)), inserts))
        << "app mark " << app_mark;
  }
  // Without an IPv6 chain nothing is inserted into one.
  for (const std::string& command : BuildKillSwitchEndpointInsertCommands(endpoint, false, false)) {
    EXPECT_EQ(0u, command.rfind("iptables ", 0)) << command;
  }
}

}  // namespace
