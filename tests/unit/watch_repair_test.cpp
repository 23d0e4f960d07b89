#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "killswitch/firewall_save.h"
#include "typical_run.h"
#include "lifecycle/route_listing.h"
#include "dns/dns_redirect_table.h"
#include "watch/pacing.h"
#include "watch/owned_pieces.h"
#include "watch/repair_plan.h"
#include "watch/wanted_state.h"

namespace {

using Lines = std::vector<std::string>;

// What the typical run leaves in place on eth0 (IPv4 only).
const char kRoutes[] =
    "default via 192.0.2.1 dev eth0 table 100 \n"
    "0.0.0.0/1 dev tun0 scope link metric 5 \n"
    "default via 192.0.2.1 dev eth0 \n"
    "10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3 \n"
    "128.0.0.0/1 dev tun0 scope link metric 5 \n"
    "203.0.113.7 via 192.0.2.1 dev eth0 metric 3 \n";
const char kRules[] = "0:\tfrom all lookup local\n100:\tfrom all fwmark 0x1 ipproto icmp lookup 100\n";
const char kMangle[] =
    "*mangle\n"
    "-A PREROUTING -i eth0 -m connmark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j "
    "CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
    "-A OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL "
    "-m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-xmark 0x1/0xffffffff\n"
    "-A POSTROUTING -o eth0 -m mark --mark 0x1 -m connmark --mark 0x0 -m comment --comment "
    "zelmo-vpn-icmp-bypass -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
    "COMMIT\n"
    "*nat\n"
    "-A POSTROUTING -o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass "
    "-j MASQUERADE\n"
    "COMMIT\n";
const char kChain[] =
    ":ZELMO_KILLSWITCH - [0:0]\n"
    "-A ZELMO_KILLSWITCH -o lo -j RETURN\n"
    "-A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -o tun0 ! -p icmp -j RETURN\n"
    "-A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -d 10.20.0.0/16 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -d 255.255.255.255/32 -p udp -m udp --sport 68 --dport 67 -j RETURN\n"
    "-A ZELMO_KILLSWITCH -j REJECT --reject-with icmp-port-unreachable\n";

HostListings Listings(const std::string& routes, const std::string& rules,
                      const std::string& firewall4) {
  HostListings host;
  host.routes_read = host.rules_read = true;
  host.routes4 = ParseRouteListing(routes, false);
  host.rules4 = ParseRuleListing(rules);
  host.firewall4 = ParseFirewallSave(firewall4);
  return host;
}

std::string Filter(const std::string& output) {
  return std::string("*filter\n:OUTPUT ACCEPT [0:0]\n") + kChain + output + "COMMIT\n";
}

// `icmp_route`: what the ICMP bypass put into table 100 at the last look.
RepairPlan Plan(const TunnelPlan& plan, const NetworkView& view, const HostListings& host,
                const std::set<std::string>& held = {}, bool icmp_table_free = true,
                const DefaultRouteInfo& icmp_route = {"192.0.2.1", "eth0"}) {
  const WantedState wanted = WantState(plan, view, icmp_table_free, false);
  RepairContext context;
  context.owned_route = [&plan, &view, &icmp_route](const ListedRoute& route) {
    return IsRemovableRoute(route, plan, view, icmp_route);
  };
  context.owned_rule = [&icmp_route](const ListedRule& rule, bool ipv6) {
    return IsOwnedRule(rule, ipv6, icmp_route);
  };
  context.held = [&held](const WantedPiece& piece, const std::set<std::string>&) {
    return held.count(piece.name) != 0;
  };
  return PlanRepair(wanted, host, context);
}

TEST(PlanRepair, EverythingInPlaceChangesNothing) {
  const RepairPlan repair =
      Plan(TypicalPlan(), OnEth0(),
           Listings(kRoutes, kRules, Filter("-A OUTPUT -j ZELMO_KILLSWITCH\n-A OUTPUT -j ACCEPT\n") + kMangle));
  EXPECT_EQ(Lines{}, repair.batch4);
  EXPECT_EQ(Lines{}, repair.restore4);
  EXPECT_TRUE(repair.broken.empty());
}

// The kill switch as other programs leave it: never deleted by position,
// foreign rules stay, the chain is rewritten within one transaction.
TEST(PlanRepair, TheKillSwitchComesBackInOneTransaction) {
  const std::string jump = "-I OUTPUT 1 -j ZELMO_KILLSWITCH";
  const std::vector<std::string> chain_rules = {
      ":ZELMO_KILLSWITCH - [0:0]", "-A ZELMO_KILLSWITCH -o lo -j RETURN",
      "-A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN",
      "-A ZELMO_KILLSWITCH -o tun0 ! -p icmp -j RETURN",
      "-A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN",
      "-A ZELMO_KILLSWITCH -d 10.20.0.0/16 -j RETURN",
      "-A ZELMO_KILLSWITCH -d 255.255.255.255/32 -p udp --sport 68 --dport 67 -j RETURN",
      "-A ZELMO_KILLSWITCH -j REJECT"};
  const struct {
    std::string what;
    std::string filter;
    Lines restore;
  } cases[] = {
      {"jump flushed", Filter(""), {"*filter", jump, "COMMIT"}},
      {"a rule inserted before the jump", Filter("-A OUTPUT -j ACCEPT\n-A OUTPUT -j ZELMO_KILLSWITCH\n"),
       {"*filter", "-D OUTPUT -j ZELMO_KILLSWITCH", jump, "COMMIT"}},
      {"two jumps", Filter("-A OUTPUT -j ZELMO_KILLSWITCH\n-A OUTPUT -j ZELMO_KILLSWITCH\n"),
       {"*filter", "-D OUTPUT -j ZELMO_KILLSWITCH", "-D OUTPUT -j ZELMO_KILLSWITCH", jump, "COMMIT"}},
      {"table flushed and chains deleted", "*filter\n:OUTPUT ACCEPT [0:0]\nCOMMIT\n", {}},
      {"a rule slipped into the chain",
       Filter("-A OUTPUT -j ZELMO_KILLSWITCH\n-A ZELMO_KILLSWITCH -j RETURN\n"), chain_rules},
      {"no filter table at all", "", {}},
  };
  for (const auto& c : cases) {
    const RepairPlan repair =
        Plan(TypicalPlan(), OnEth0(), Listings(kRoutes, kRules, c.filter + kMangle));
    Lines expected = c.restore;
    if (expected.empty()) {  // the chain and the jump, both from nothing
      expected = {"*filter"};
      expected.insert(expected.end(), chain_rules.begin(), chain_rules.end());
      expected.push_back(jump);
      expected.push_back("COMMIT");
    } else if (expected == chain_rules) {
      expected.insert(expected.begin(), "*filter");
      expected.push_back("COMMIT");
    }
    EXPECT_EQ(expected, repair.restore4) << c.what;
    EXPECT_EQ(Lines{}, repair.batch4) << c.what;
  }
}

TEST(PlanRepair, AHeldPieceWaitsAndAnUnreadableFirewallIsLeftAlone) {
  const HostListings flushed = Listings(kRoutes, kRules, Filter("") + kMangle);
  const RepairPlan held = Plan(TypicalPlan(), OnEth0(), flushed, {"kill switch jump (iptables)"});
  EXPECT_EQ(Lines{}, held.restore4);
  EXPECT_EQ(std::set<std::string>{"kill switch jump (iptables)"}, held.held);
  HostListings unreadable = flushed;
  unreadable.firewall4.readable = false;
  EXPECT_EQ(Lines{}, Plan(TypicalPlan(), OnEth0(), unreadable).restore4);
}

TEST(PlanRepair, RoutesFollowTheNetworkAndOnlyTheHelpersGo) {
  NetworkView moved = OnEth0();
  moved.default4 = {"192.0.3.1", "eth1"};
  NetworkView gone = OnEth0();
  gone.tun_ifindex = 0;
  NetworkView offline = OnEth0();
  offline.default4 = {};
  const std::string users = "10.20.0.0/16 via 192.0.9.9 dev eth9 metric 7 \n"
                            "default via 192.0.9.9 dev eth9 table 200 \n";
  const struct {
    std::string what;
    NetworkView view;
    std::string routes;
    Lines batch;
  } cases[] = {
      // A link down and up: the kernel dropped the routes through it.
      {"routes dropped", OnEth0(), "default via 192.0.2.1 dev eth0 \n",
       {"route replace 0.0.0.0/1 dev tun0 metric 5", "route replace 128.0.0.0/1 dev tun0 metric 5",
        "route replace 10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3",
        "route replace 203.0.113.7/32 via 192.0.2.1 dev eth0 metric 3",
        "route replace default via 192.0.2.1 dev eth0 table 100", "rule add fwmark 0x1 ipproto icmp lookup 100 priority 100"}},
      // A move: replaced in place, nothing left via the old gateway.
      {"moved", moved, kRoutes,
       {"route replace 10.20.0.0/16 via 192.0.3.1 dev eth1 metric 3",
        "route replace 203.0.113.7/32 via 192.0.3.1 dev eth1 metric 3",
        "route replace default via 192.0.3.1 dev eth1 table 100"}},
      // Nothing is tried on a device that is gone.
      {"tun gone", gone, std::string(kRoutes).substr(0, 0) + "default via 192.0.2.1 dev eth0 \n"
                             "default via 192.0.2.1 dev eth0 table 100 \n"
                             "10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3 \n"
                             "203.0.113.7 via 192.0.2.1 dev eth0 metric 3 \n",
       {}},
      // Nor on one that went after the listing was read: its routes went
      // with it.
      {"tun gone after the listing", gone, kRoutes, {}},
      // Without a network the pins go; another owner's routes stay.
      {"offline", offline, std::string(kRoutes) + users,
       {"route del 10.20.0.0/16 via 192.0.2.1 dev eth0 metric 3",
        "route del 203.0.113.7/32 via 192.0.2.1 dev eth0 metric 3",
        "route del 0.0.0.0/0 via 192.0.2.1 dev eth0 metric 0 table 100",
        "rule del fwmark 0x1 ipproto icmp lookup 100 priority 100"}},
  };
  for (const auto& c : cases) {
    const std::string rules = c.what == "routes dropped" ? "0:\tfrom all lookup local\n" : kRules;
    const RepairPlan repair = Plan(TypicalPlan(), c.view, Listings(c.routes, rules, ""));
    Lines batch = repair.batch4;
    // The order of deletes follows the listing.
    std::sort(batch.begin(), batch.end());
    Lines expected = c.batch;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, batch) << c.what;
  }
}

// A second uplink's default route in table 100: the bypass's own rule goes
// when the bypass held the table until now, and a rule of the same form
// stays when it never did (the other owner's own).
TEST(PlanRepair, ATable100OfAnotherOwnerKeepsItsRouteAndItsRule) {
  const std::string routes = std::string(kRoutes).substr(std::string(kRoutes).find('\n') + 1) +
                             "default via 192.0.3.1 dev eth1 table 100 \n";
  const struct {
    std::string what;
    DefaultRouteInfo icmp_route;
    Lines batch;
  } cases[] = {
      {"taken over from the bypass", {"192.0.2.1", "eth0"},
       {"rule del fwmark 0x1 ipproto icmp lookup 100 priority 100"}},
      {"another owner's since the start", {}, {}},
  };
  for (const auto& c : cases) {
    const RepairPlan repair =
        Plan(TypicalPlan(), OnEth0(), Listings(routes, kRules, ""), {}, false, c.icmp_route);
    EXPECT_EQ(c.batch, repair.batch4) << c.what;
  }
}

// The ICMP bypass's rule as an earlier version wrote it (every protocol):
// the narrow one is added first, so the kernel, which deletes the first
// rule that matches what a delete names, takes the older one.
TEST(PlanRepair, AnOlderFormOfTheIcmpBypassRuleIsReplaced) {
  const struct {
    std::string rules;
    Lines batch;
  } cases[] = {
      {"100:\tfrom all fwmark 0x1 lookup 100\n",
       {"rule add fwmark 0x1 ipproto icmp lookup 100 priority 100",
        "rule del fwmark 0x1 lookup 100 priority 100"}},
      {std::string(kRules) + "100:\tfrom all fwmark 0x1 lookup 100\n",
       {"rule del fwmark 0x1 lookup 100 priority 100"}},
      // Another protocol, or another selector, is not the bypass's.
      {std::string(kRules) + "100:\tfrom all fwmark 0x1 ipproto tcp lookup 100\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.batch, Plan(TypicalPlan(), OnEth0(), Listings(kRoutes, c.rules, "")).batch4)
        << c.rules;
  }
}

TEST(PlanRepair, MarkedTrafficMovesToTheNewDeviceInOneTransaction) {
  NetworkView moved = OnEth0();
  moved.default4 = {"192.0.3.1", "eth1"};
  TunnelPlan plan = TypicalPlan();
  plan.kill_switch = false;
  const RepairPlan repair = Plan(plan, moved, Listings(kRoutes, kRules, kMangle));
  ASSERT_FALSE(repair.restore4.empty());
  std::string text;
  for (const std::string& line : repair.restore4) text += line + "\n";
  for (const char* gone : {"-D PREROUTING -i eth0", "-D POSTROUTING -o eth0 -m mark --mark 0x1"}) {
    EXPECT_NE(std::string::npos, text.find(gone)) << text;
  }
  for (const char* added : {"-A PREROUTING -i eth1", "-A POSTROUTING -o eth1 -m mark --mark 0x1",
                            "*nat\n-D POSTROUTING -o eth0"}) {
    EXPECT_NE(std::string::npos, text.find(added)) << text;
  }
  // The marking rule of OUTPUT names no device: it stays untouched.
  EXPECT_EQ(std::string::npos, text.find("OUTPUT")) << text;
}

TEST(PieceBackoff, ASecondThenDoublingUpToItsLimitAndCalmStartsOver) {
  // A negative time is a restore that failed there.
  struct Case {
    int64_t longest;
    std::vector<int64_t> restored_at;
    std::vector<int64_t> next_allowed;
  };
  const Case cases[] = {
      {30000, {0, 1000, 3000, 7000}, {1000, 3000, 7000, 15000}},
      // Failures are tried again soon, then less often; a success starts over.
      {1000, {-1000, -1050, -1150, -1350, 1750, -2750}, {1050, 1150, 1350, 1750, 2750, 2800}},
      {30000, {0, 1000, 3000, 7000, 15000, 31000, 61000}, {1000, 3000, 7000, 15000, 31000, 61000, 91000}},
      {1000, {0, 1000, 2000, 3000}, {1000, 2000, 3000, 4000}},
      // A minute in place forgets the pauses.
      {30000, {0, 1000, 3000, 70000}, {1000, 3000, 7000, 71000}},
  };
  for (const Case& c : cases) {
    PieceBackoff backoff;
    for (size_t i = 0; i < c.restored_at.size(); ++i) {
      if (c.restored_at[i] < 0) {
        NoteRestoreFailed(&backoff, -c.restored_at[i], c.longest);
      } else {
        NoteRestored(&backoff, c.restored_at[i], c.longest);
      }
      EXPECT_EQ(c.next_allowed[i], backoff.next_allowed_ms) << "restore " << i;
    }
  }
}

}  // namespace

namespace {

// The guard's table of the typical run, as the watch wants it now.
WantedNftTable GuardTable(const TunnelPlan& plan) {
  const WantedState wanted = WantState(plan, OnEth0(), true, false);
  const WantedPiece* guard = FindPiece(wanted, "kill switch guard");
  return guard == nullptr || guard->nft_tables.empty() ? WantedNftTable{} : guard->nft_tables[0];
}

// A table of the helper's own goes the one repair path: compared with how
// nft listed it right after the helper made it, made again whole otherwise.
TEST(PlanRepair, AnNftTableIsMadeAgainWhenItListsOtherwiseOrIsWantedOtherwise) {
  TunnelPlan plan = TypicalPlan();
  plan.kill_switch_guard = true;
  const WantedNftTable table = GuardTable(plan);
  ASSERT_FALSE(table.install_command.empty());
  const Lines as_made = {"table inet zelmo-vpn-killswitch {", "chain output {", "reject", "}", "}"};
  const NftBaseline made = {table.install_command, as_made};
  const struct {
    std::string what;
    bool listed;
    Lines lines;
    NftBaseline baseline;
    std::set<std::string> held;
    bool installed;
  } cases[] = {
      {"as made", true, as_made, made, {}, false},
      {"a rule slipped in", true, {"table inet zelmo-vpn-killswitch {", "chain output {", "accept", "reject", "}", "}"}, made, {}, true},
      {"deleted", false, {}, made, {}, true},
      {"wanted otherwise now (the uplinks moved)", true, as_made, {"other command", as_made}, {}, true},
      {"deleted during its pause", false, {}, made, {"kill switch guard"}, false},
  };
  for (const auto& c : cases) {
    HostListings host = Listings(kRoutes, kRules, Filter("-A OUTPUT -j ZELMO_KILLSWITCH\n") + kMangle);
    host.nft_read = true;
    host.nft_tables[NftTableKey(table)] = {c.listed, c.lines};
    RepairContext context;
    context.owned_route = [](const ListedRoute&) { return false; };
    context.owned_rule = [](const ListedRule&, bool) { return false; };
    context.nft_baselines[NftTableKey(table)] = c.baseline;
    context.held = [&c](const WantedPiece& piece, const std::set<std::string>&) {
      return c.held.count(piece.name) != 0;
    };
    const RepairPlan repair = PlanRepair(WantState(plan, OnEth0(), true, false), host, context);
    EXPECT_EQ(c.installed ? 1u : 0u, repair.nft_installs.size()) << c.what;
    EXPECT_EQ(c.installed || !c.held.empty(), repair.broken.count("kill switch guard") == 1) << c.what;
    EXPECT_EQ(c.held, repair.held) << c.what;
    EXPECT_EQ(Lines{}, repair.restore4) << c.what;
  }
}

// What matters about a piece is data of its record: the name-lookup table
// has its connection-tracking deletions run after it is made again, and the
// kill switch's chain and jump leak while gone only where the guard does not
// stand.
TEST(WantState, EachPieceSaysWhetherItsAbsenceLeaksAndWhatRunsAfterIt) {
  TunnelPlan plan = TypicalPlan();
  plan.kill_switch_guard = true;
  plan.dns_redirect = true;
  plan.dns_addresses = {"10.8.0.1"};
  const WantedState wanted = WantState(plan, OnEth0(), true, false);
  const struct {
    std::string piece;
    std::set<std::string> not_standing;
    bool leaks;
  } cases[] = {
      {"kill switch guard", {}, true},
      {"kill switch chain (iptables)", {}, false},
      {"kill switch chain (iptables)", {"kill switch guard"}, true},
      {"kill switch jump (iptables)", {"kill switch guard"}, true},
      {"ICMP bypass mark rule", {"kill switch guard"}, false},
  };
  for (const auto& c : cases) {
    const WantedPiece* piece = FindPiece(wanted, c.piece);
    ASSERT_NE(nullptr, piece) << c.piece;
    EXPECT_EQ(c.leaks, LeaksWhileAbsent(*piece, wanted, c.not_standing)) << c.piece;
  }
  const WantedPiece* dns = FindPiece(wanted, "name-lookup redirect");
  ASSERT_NE(nullptr, dns);
  EXPECT_TRUE(static_cast<bool>(dns->after_made));
  plan.kill_switch_guard = false;
  const WantedState unguarded = WantState(plan, OnEth0(), true, false);
  EXPECT_TRUE(LeaksWhileAbsent(*FindPiece(unguarded, "kill switch jump (iptables)"), unguarded, {}));
}

// A tunnel-only program's traffic leaves physically without its mark, its
// policy rule or its guard; a bypassed program's only goes through the
// tunnel then.
TEST(WantState, ThePolicysPiecesLeakWhileAbsentInTunnelOnlyModeAlone) {
  const struct {
    std::string mode;
    std::string piece;
    bool leaks;
  } cases[] = {
      {"vpnOnlySelected", "app routing mark rule (iptables)", true},
      {"vpnOnlySelected", "app routing policy rule (IPv4)", true},
      {"vpnOnlySelected", "app routing guard (iptables)", true},
      {"vpnOnlySelected", "app routing NAT and connection marks (iptables)", false},
      {"bypassSelected", "app routing mark rule (iptables)", false},
      {"bypassSelected", "app routing policy rule (IPv4)", false},
  };
  for (const auto& c : cases) {
    TunnelPlan plan = TypicalPlan();
    plan.policy.enabled = true;
    plan.policy.mode = c.mode;
    const WantedState wanted = WantState(plan, OnEth0(), true, false);
    const WantedPiece* piece = FindPiece(wanted, c.piece);
    ASSERT_NE(nullptr, piece) << c.mode << ": " << c.piece;
    EXPECT_EQ(c.leaks, LeaksWhileAbsent(*piece, wanted, {})) << c.mode << ": " << c.piece;
  }
}

// Whatever pause a piece had, one whose absence leaks now waits a second at
// most from its last restore.
TEST(PieceBackoff, APieceThatLeaksWaitsASecondAtMostWhateverItsPause) {
  PieceBackoff backoff;
  for (const int64_t at : {0, 1000, 3000, 7000}) NoteRestored(&backoff, at, LongestPause(false));
  EXPECT_EQ(15000, NextRestoreMs(backoff, LongestPause(false)));
  EXPECT_EQ(8000, NextRestoreMs(backoff, LongestPause(true)));
  NoteRestoreFailed(&backoff, 9000, LongestPause(true));
  EXPECT_EQ(9050, NextRestoreMs(backoff, LongestPause(true)));
}

}  // namespace
