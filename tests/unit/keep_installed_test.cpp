#include "keep_installed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_repair.h"
#include "lifecycle/firewall_events.h"
#include "lifecycle/rule_listing.h"
#include "routing/icmp_bypass.h"
#include "routing/marked_traffic.h"

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
  KillSwitchInputs inputs = Inputs4(tun_name, endpoint, {}, allow_app_mark);
  inputs.devices.local_bridges = {"docker0"};
  return inputs;
}

using Commands = std::vector<std::string>;

const std::string kPolicies = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n";
// The chain as "iptables -S" lists what the install built for tun0, one
// endpoint address and no prefixes.
const char kListedChain[] =
    "-N ZELMO_KILLSWITCH\n"
    "-A ZELMO_KILLSWITCH -o lo -j RETURN\n"
    "-A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -p udp -m udp --sport 68 --dport 67 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -j REJECT --reject-with icmp-port-unreachable\n";
const char kJump[] = "-A OUTPUT -j ZELMO_KILLSWITCH\n";

std::vector<std::string> ExpectedIpv4Rules() {
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"203.0.113.7"};
  return KillSwitchIpv4Rules(Inputs4("tun0", endpoint, {}, false));
}

TEST(KillSwitchRepair, PutsBackOnlyWhatIsGoneWithoutAnUnguardedMoment) {
  const std::string chain = kListedChain;
  const std::string jump = kJump;
  const Commands build_chain = {
      "iptables -N ZELMO_KILLSWITCH",
      "iptables -A ZELMO_KILLSWITCH -o lo -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -p udp --sport 68 --dport 67 -j RETURN",
      "iptables -A ZELMO_KILLSWITCH -j REJECT",
      "iptables -I OUTPUT 1 -j ZELMO_KILLSWITCH",
  };
  struct Case {
    const char* what;
    std::string listing;
    bool chain;
    bool jump;
    Commands commands;
  };
  const Case cases[] = {
      {"everything in place", kPolicies + chain + jump, false, false, {}},
      {"a listing that could not be read", "", false, false, {}},
      {"flushed OUTPUT",
       kPolicies + chain,
       false,
       true,
       {"iptables -I OUTPUT 1 -j ZELMO_KILLSWITCH"}},
      {"an ACCEPT inserted first",
       kPolicies + chain + "-A OUTPUT -j ACCEPT\n" + jump + "-A OUTPUT -o eth0 -j DROP\n",
       false,
       true,
       {"iptables -I OUTPUT 1 -j ZELMO_KILLSWITCH", "iptables -D OUTPUT 3"}},
      {"a second jump further down",
       kPolicies + chain + jump + "-A OUTPUT -j ACCEPT\n" + jump,
       false,
       true,
       {"iptables -D OUTPUT 3"}},
      {"an emptied filter table", kPolicies, true, true, build_chain},
      {"a rule slipped into the chain",
       kPolicies + "-N ZELMO_KILLSWITCH\n-A ZELMO_KILLSWITCH -j ACCEPT\n" + jump,
       true,
       false,
       {"iptables -I ZELMO_KILLSWITCH 1 -o lo -j RETURN",
        "iptables -I ZELMO_KILLSWITCH 2 -o tun0 -m mark ! --mark 0x1 -j RETURN",
        "iptables -I ZELMO_KILLSWITCH 3 -d 203.0.113.7/32 -j RETURN",
        "iptables -I ZELMO_KILLSWITCH 4 -p udp --sport 68 --dport 67 -j RETURN",
        "iptables -I ZELMO_KILLSWITCH 5 -j REJECT", "iptables -D ZELMO_KILLSWITCH 6"}},
  };
  for (const Case& c : cases) {
    const KillSwitchRepair repair =
        PlanKillSwitchRepair("iptables", ExpectedIpv4Rules(), ParseKillSwitchListing(c.listing));
    EXPECT_EQ(c.chain, repair.chain) << c.what;
    EXPECT_EQ(c.jump, repair.jump) << c.what;
    EXPECT_EQ(c.commands, repair.commands) << c.what;
  }
}

TEST(KillSwitchRepair, ListedFormsEqualTheInstalledRules) {
  ResolvedAddresses endpoint;
  endpoint.ipv6 = {"2001:DB8:0::7"};
  const std::vector<std::string> listed = {
      "-o lo -j RETURN",
      "-o tun0 -j RETURN",
      "-d 2001:db8::7/128 -j RETURN",
      "-m mark --mark 0x66 -j RETURN",
      "-p ipv6-icmp -m icmp6 --icmpv6-type 135 -j RETURN",
      "-p ipv6-icmp -m icmp6 --icmpv6-type 136 -j RETURN",
      "-o docker0 -j RETURN",
      "-p udp -m udp --sport 546 --dport 547 -j RETURN",
      "-p ipv6-icmp -m icmp6 --icmpv6-type 133 -j RETURN",
      "-j REJECT --reject-with icmp6-port-unreachable",
  };
  EXPECT_TRUE(ChainHoldsExactly(listed, KillSwitchIpv6Rules(Inputs6("tun0", endpoint, true))));
  // A different reject type, a rule fewer or another order is a change.
  std::vector<std::string> other_reject = listed;
  other_reject.back() = "-j REJECT --reject-with icmp6-adm-prohibited";
  EXPECT_FALSE(ChainHoldsExactly(other_reject, KillSwitchIpv6Rules(Inputs6("tun0", endpoint, true))));
  EXPECT_FALSE(ChainHoldsExactly(listed, KillSwitchIpv6Rules(Inputs6("tun0", endpoint, false))));
  std::vector<std::string> swapped = listed;
  std::swap(swapped[0], swapped[1]);
  EXPECT_FALSE(ChainHoldsExactly(swapped, KillSwitchIpv6Rules(Inputs6("tun0", endpoint, true))));
  EXPECT_EQ("-d 10.0.0.0/8 -j RETURN", CanonicalFirewallRule("-d  10.0.0.0/08 -j RETURN"));
}

TEST(KeepInstalledListings, FindsTheHelpersRulesAsTheToolsListThem) {
  const std::string rules =
      "0:\tfrom all lookup local\n100:\tfrom all fwmark 0x1 lookup 100\n"
      "1066:\tfrom all fwmark 0x66 lookup 1067\n32766:\tfrom all lookup main\n";
  EXPECT_TRUE(ListsIcmpBypassRule(rules));
  EXPECT_TRUE(ListsAppRoutingRule(rules, "vpnOnlySelected"));
  EXPECT_FALSE(ListsAppRoutingRule(rules, "bypassSelected"));
  EXPECT_FALSE(ListsIcmpBypassRule("101:\tfrom all fwmark 0x1 lookup 100\n"));
  EXPECT_FALSE(ListsPolicyRule("100:\tfrom all fwmark 0x11 lookup 100\n", "100", "0x1", "100"));

  const std::string mangle =
      "-P OUTPUT ACCEPT\n"
      "-A PREROUTING -i eth0 -m connmark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j "
      "CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
      "-A OUTPUT -m cgroup --path \"user.slice/zelmo-vpn-app-routing\" -j MARK --set-xmark "
      "0x66/0xffffffff\n"
      "-A OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir "
      "ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-xmark 0x1/0xffffffff\n"
      "-A POSTROUTING -m mark --mark 0x66 -m comment --comment zelmo-vpn-app-guard -j "
      "ZELMO_APP_GUARD\n"
      "-A ZELMO_APP_GUARD -o lo -j RETURN\n-A ZELMO_APP_GUARD -o tun0 -j RETURN\n"
      "-A ZELMO_APP_GUARD -j DROP\n"
      "-A POSTROUTING -o eth0 -m mark --mark 0x1 -m connmark --mark 0x0 -m comment --comment "
      "zelmo-vpn-icmp-bypass -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff\n";
  const std::string nat =
      "-A POSTROUTING -o eth0 -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j "
      "MASQUERADE\n";
  EXPECT_TRUE(ListsIcmpMarkRule(mangle));
  // The unconditional rule of older helpers is not the bypass's rule now.
  EXPECT_FALSE(ListsIcmpMarkRule("-A OUTPUT -p icmp -j MARK --set-xmark 0x1/0xffffffff\n"));
  EXPECT_TRUE(ListsAppGuard(mangle, "tun0"));
  EXPECT_FALSE(ListsAppGuard(mangle, "tun1"));
  EXPECT_FALSE(ListsAppGuard("-A ZELMO_APP_GUARD -o lo -j RETURN\n-A ZELMO_APP_GUARD -o tun0 -j "
                             "RETURN\n-A ZELMO_APP_GUARD -j DROP\n",
                             "tun0"));
  EXPECT_TRUE(ListsAppMarkRule(mangle, "user.slice/zelmo-vpn-app-routing"));
  EXPECT_FALSE(ListsAppMarkRule(mangle, "zelmo-vpn-app-routing"));
  EXPECT_TRUE(ListsMarkedTraffic(IcmpBypassMarkedTraffic("eth0"), {nat, mangle, mangle}));
  EXPECT_FALSE(ListsMarkedTraffic(IcmpBypassMarkedTraffic("wlan0"), {nat, mangle, mangle}));
  EXPECT_FALSE(ListsMarkedTraffic(IcmpBypassMarkedTraffic("eth0"), {"", mangle, mangle}));
}

TEST(KeepInstalledBackoff, ASecondThenDoublingUpToItsLimitAndCalmStartsOver) {
  // A negative time is a restore that failed there.
  struct Case {
    bool kill_switch;
    std::vector<int64_t> restored_at;
    std::vector<int64_t> next_allowed;
  };
  const Case cases[] = {
      {false, {0, 1000, 3000, 7000}, {1000, 3000, 7000, 15000}},
      // Failures are tried again soon, then less often; a success starts over.
      {true, {-1000, -1050, -1150, -1350, 1750, -2750}, {1050, 1150, 1350, 1750, 2750, 2800}},
      {false,
       {0, 1000, 3000, 7000, 15000, 31000, 61000},
       {1000, 3000, 7000, 15000, 31000, 61000, 91000}},
      // Never away for long: the kill switch pauses a second at most.
      {true, {0, 1000, 2000, 3000}, {1000, 2000, 3000, 4000}},
      // A minute in place forgets the pauses.
      {false, {0, 1000, 3000, 70000}, {1000, 3000, 7000, 71000}},
  };
  for (const Case& c : cases) {
    PieceBackoff backoff;
    for (size_t i = 0; i < c.restored_at.size(); ++i) {
      if (c.restored_at[i] < 0) {
        NoteRestoreFailed(&backoff, -c.restored_at[i], c.kill_switch);
      } else {
        NoteRestored(&backoff, c.restored_at[i], c.kill_switch);
      }
      EXPECT_EQ(c.next_allowed[i], backoff.next_allowed_ms) << "restore " << i;
    }
  }
}

TEST(FirewallEvents, OnlyTheNfTablesBackendAnnouncesChanges) {
  EXPECT_TRUE(ReportsNfTablesBackend("iptables v1.8.9 (nf_tables)\n"));
  EXPECT_FALSE(ReportsNfTablesBackend("iptables v1.8.9 (legacy)\n"));
  EXPECT_FALSE(ReportsNfTablesBackend(""));
}

}  // namespace
