#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/membership.h"
#include "routing/marked_traffic.h"
#include "routing/src_valid_mark.h"

namespace {

using Commands = std::vector<std::string>;
const std::string kQuiet = " >/dev/null 2>&1";
const std::string kDelete = "iptables -t mangle -D OUTPUT ";

TEST(AppRoutingCleanupListing, ListedRulesBecomeDeletes) {
  const std::string listing =
      "-P OUTPUT ACCEPT\n"
      "-A OUTPUT -m cgroup --path a.slice/zelmo-vpn-app-routing -j MARK --set-mark 0x66\n"
      "-A OUTPUT -m cgroup --path \"user.slice/app.slice/zelmo-vpn-app-routing\" -j MARK "
      "--set-xmark 0x66/0xffffffff\n"
      "-A OUTPUT -m cgroup --path zelmo-vpn-app-routing -j MARK --set-xmark 0x66/0xffffffff\n"
      "-A OUTPUT -p icmp -j MARK --set-xmark 0x1/0xffffffff\n"
      "-A OUTPUT -m cgroup --path other-group -j MARK --set-mark 0x66\n"
      "-A OUTPUT -m cgroup --path x/zelmo-vpn-app-routing -j ACCEPT\n"
      "-A OUTPUT -m comment --comment zelmo-vpn-app-routing -j MARK --set-mark 0x66\n"
      "-A INPUT -m cgroup --path zelmo-vpn-app-routing -j MARK --set-mark 0x66\n"
      " -A OUTPUT -m cgroup --path zelmo-vpn-app-routing -j MARK --set-mark 0x66\n"
      // A last line without its newline still counts.
      "-A OUTPUT -m cgroup --path b/zelmo-vpn-app-routing -j MARK --set-mark 0x67";
  const Commands expected = {
      kDelete + "-m cgroup --path a.slice/zelmo-vpn-app-routing -j MARK --set-mark 0x66" + kQuiet,
      kDelete + "-m cgroup --path user.slice/app.slice/zelmo-vpn-app-routing -j MARK --set-xmark "
                "0x66/0xffffffff" + kQuiet,
      kDelete + "-m cgroup --path zelmo-vpn-app-routing -j MARK --set-xmark 0x66/0xffffffff" + kQuiet,
      kDelete + "-m cgroup --path b/zelmo-vpn-app-routing -j MARK --set-mark 0x67" + kQuiet,
  };
  EXPECT_EQ(expected, StaleMarkRuleDeleteCommands(kAppRoutingIpv4, listing));
  EXPECT_EQ(Commands{}, StaleMarkRuleDeleteCommands(kAppRoutingIpv4, ""));
}

TEST(AppRoutingCleanupListing, UnsafeLinesRunNothing) {
  const std::string rule = "-m cgroup --path a/zelmo-vpn-app-routing -j MARK --set-mark 0x66";
  for (const std::string& line : {
           // Quotes that are not exactly one pair around the --path word.
           std::string("-A OUTPUT -m cgroup --path \"a/zelmo-vpn-app-routing -j MARK --set-mark 0x66"),
           std::string("-A OUTPUT -m cgroup --path \"a/zelmo-vpn-app-routing\"x -j MARK --set-mark 0x66"),
           std::string("-A OUTPUT -m cgroup --path \"a\"/zelmo-vpn-app-routing -j MARK --set-mark 0x66"),
           std::string("-A OUTPUT -m cgroup --path \"a/zelmo-vpn-app-routing\" -j MARK --set-mark \"0x66\""),
           std::string("-A OUTPUT -m cgroup --path \"\" -m comment --comment zelmo-vpn-app-routing -j MARK"),
           std::string("-A OUTPUT -m cgroup --path \"a\\b/zelmo-vpn-app-routing\" -j MARK --set-mark 0x66"),
           std::string("-A OUTPUT -m cgroup --xpath \"a/zelmo-vpn-app-routing\" -j MARK --set-mark 0x66"),
           // The other quote of the pair stands before "--path ".
           std::string("-A OUTPUT -m comment --comment \"x --path \"a/zelmo-vpn-app-routing -j MARK"),
           std::string("-A OUTPUT -m cgroup --path a/zelmo-vpn-app-routing -j MARK --set-mark 0x66;reboot"),
           std::string("-A OUTPUT -m cgroup --path a/zelmo-vpn-app-routing -j MARK --set-mark $(x)"),
           std::string("-A OUTPUT -m cgroup --path a/zelmo-vpn-app-routing\t-j MARK --set-mark 0x66"),
           "-A OUTPUT " + rule + " " + std::string(2048 - rule.size(), 'x'),
       }) {
    EXPECT_EQ(Commands{}, StaleMarkRuleDeleteCommands(kAppRoutingIpv4, line)) << line;
  }
  // 2048 characters after the prefix is still allowed.
  const std::string longest = rule + " " + std::string(2047 - rule.size(), 'x');
  EXPECT_EQ(Commands{kDelete + longest + kQuiet}, StaleMarkRuleDeleteCommands(kAppRoutingIpv4, "-A OUTPUT " + longest));
}

TEST(AppRoutingApplyCommands, RouteRuleAndFallbackByModeAndFamily) {
  const DefaultRouteInfo physical{"192.0.2.1", "eth0"};
  const std::string fallback = " route replace unreachable default metric 4096 table ";
  EXPECT_EQ((Commands{"ip route replace default via 192.0.2.1 dev eth0 table 1066",
                      "ip rule add fwmark 0x66 lookup 1066 priority 1066" + kQuiet,
                      "ip" + fallback + "1066"}),
            AppRoutingRouteCommands(kAppRoutingIpv4, "bypassSelected", "tun0", physical));
  EXPECT_EQ((Commands{"ip -6 route replace default dev tun0 table 1067",
                      "ip -6 rule add fwmark 0x66 lookup 1067 priority 1066" + kQuiet,
                      "ip -6" + fallback + "1067"}),
            AppRoutingRouteCommands(kAppRoutingIpv6, "vpnOnlySelected", "tun0", {}));
  // Bypass without a route of its family: the table only refuses.
  EXPECT_EQ((Commands{"ip -6 rule add fwmark 0x66 lookup 1066 priority 1066" + kQuiet,
                      "ip -6" + fallback + "1066"}),
            AppRoutingRouteCommands(kAppRoutingIpv6, "bypassSelected", "tun0", {}));
  // Uplinks without a gateway: IPv4 keeps "via 0.0.0.0", IPv6 is on-link.
  const DefaultRouteInfo ppp{"0.0.0.0", "ppp0"};
  EXPECT_EQ("ip route replace default via 0.0.0.0 dev ppp0 table 1066",
            AppRoutingRouteCommands(kAppRoutingIpv4, "bypassSelected", "tun0", ppp)[0]);
  EXPECT_EQ("ip -6 route replace default dev wwan0 table 1066",
            AppRoutingRouteCommands(kAppRoutingIpv6, "bypassSelected", "tun0", {"", "wwan0"})[0]);
  EXPECT_EQ(Commands{}, AppRoutingRouteCommands(kAppRoutingIpv4, "custom", "tun0", physical));
  EXPECT_EQ("ip6tables -t mangle -C OUTPUT -m cgroup --path a/zelmo-vpn-app-routing -j MARK "
            "--set-mark 0x66",
            AppMarkRuleCommand(kAppRoutingIpv6, "-C", "a/zelmo-vpn-app-routing"));
}

TEST(AppRoutingApplyCommands, MarkedTrafficGoesWhereTheMarkSendsIt) {
  const DefaultRouteInfo physical{"fe80::1", "eth0"};
  const auto bypass = AppRoutingMarkedTraffic(kAppRoutingIpv6, "bypassSelected", "tun0", physical);
  ASSERT_TRUE(bypass);
  EXPECT_EQ("ip6tables eth0 0x66", bypass->tool + " " + bypass->device + " " + bypass->mark);
  const auto tunnel_only = AppRoutingMarkedTraffic(kAppRoutingIpv4, "vpnOnlySelected", "tun0", {});
  ASSERT_TRUE(tunnel_only);
  EXPECT_EQ("iptables tun0", tunnel_only->tool + " " + tunnel_only->device);
  EXPECT_FALSE(AppRoutingMarkedTraffic(kAppRoutingIpv6, "bypassSelected", "tun0", {}));
}

TEST(AppGuardCommands, DropsMarkedPacketsOutsideTheTunnelAndComesDownJumpFirst) {
  const std::string jump =
      "POSTROUTING -m mark --mark 0x66 -m comment --comment zelmo-vpn-app-guard -j ZELMO_APP_GUARD";
  const std::string mangle6 = "ip6tables -t mangle ";
  const Commands install = {
      mangle6 + "-F ZELMO_APP_GUARD" + kQuiet + " || " + mangle6 + "-N ZELMO_APP_GUARD",
      mangle6 + "-A ZELMO_APP_GUARD -o lo -j RETURN",
      mangle6 + "-A ZELMO_APP_GUARD -o qtun0 -j RETURN",
      mangle6 + "-A ZELMO_APP_GUARD -j DROP",
      mangle6 + "-C " + jump + kQuiet + " || " + mangle6 + "-I POSTROUTING 1 " + jump.substr(12),
  };
  EXPECT_EQ(install, AppGuardInstallCommands(kAppRoutingIpv6, "qtun0"));
  const Commands cleanup = {"iptables -t mangle -D " + jump + kQuiet,
                            "iptables -t mangle -F ZELMO_APP_GUARD" + kQuiet,
                            "iptables -t mangle -X ZELMO_APP_GUARD" + kQuiet};
  EXPECT_EQ(cleanup, AppGuardCleanupCommands(kAppRoutingIpv4));
}

TEST(MarkedTrafficCommands, InstallOnceAndDeleteWhatTheListingsShow) {
  const MarkedTraffic pings{"iptables", "0x1", "eth0", "zelmo-vpn-icmp-bypass", ""};
  const std::string comment = " -m comment --comment zelmo-vpn-icmp-bypass";
  const std::string nat = "-o eth0 -m mark --mark 0x1" + comment + " -j MASQUERADE";
  EXPECT_EQ(("iptables -t nat -C POSTROUTING " + nat + kQuiet + " || iptables -t nat -A POSTROUTING " +
             nat),
            MarkedTrafficInstallCommands(pings).at(0));
  ASSERT_EQ(3u, MarkedTrafficInstallCommands(pings).size());

  const std::string restore = "-i eth0 -m connmark --mark 0x1" + comment +
                              " -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff";
  MarkedTrafficListings listings;
  listings.nat_postrouting = "-P POSTROUTING ACCEPT\n-A POSTROUTING " + nat +
                             "\n-A POSTROUTING -o eth0 -j MASQUERADE\n";
  listings.mangle_prerouting =
      "-A PREROUTING " + restore + "\n" +
      // Another piece's rules, a marker inside a longer word, and a rule
      // that is not safe to give back to the shell stay out.
      "-A PREROUTING -i eth0 -m comment --comment zelmo-vpn-app-routing -j CONNMARK\n"
      "-A PREROUTING -i eth0 -m comment --comment zelmo-vpn-icmp-bypass-x -j ACCEPT\n"
      "-A PREROUTING -i eth0;reboot -m comment --comment zelmo-vpn-icmp-bypass -j ACCEPT\n";
  EXPECT_EQ((Commands{"iptables -t nat -D POSTROUTING " + nat + kQuiet,
                      "iptables -t mangle -D PREROUTING " + restore + kQuiet}),
            MarkedTrafficDeleteCommands("iptables", "zelmo-vpn-icmp-bypass", listings));
}

TEST(SrcValidMark, ReleasedOnlyWhereNoOtherPieceStillRestoresMarks) {
  const std::string listing =
      "-A PREROUTING -i eth0 -m comment --comment zelmo-vpn-src-valid-mark\n"
      "-A PREROUTING -i tun0 -m comment --comment zelmo-vpn-src-valid-mark\n"
      "-A PREROUTING -i tun0 -m connmark --mark 0x66 -m comment --comment zelmo-vpn-app-routing "
      "-j CONNMARK --restore-mark\n"
      "-A PREROUTING -i eth1 -m connmark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass "
      "-j CONNMARK --restore-mark\n"
      "-A PREROUTING -i .. -m comment --comment zelmo-vpn-src-valid-mark\n"
      "-A PREROUTING -i wlan0 -m comment --comment other-src-valid-mark\n";
  EXPECT_EQ(Commands{"eth0"}, SrcValidMarkDevicesToRelease(listing));
  EXPECT_EQ("iptables -t mangle -D PREROUTING -i eth0 -m comment --comment zelmo-vpn-src-valid-mark",
            SrcValidMarkMarkerCommand("-D", "eth0"));
}

TEST(AppRoutingMembership, MatchesCommandOrExecutableNameIgnoringCase) {
  const std::set<std::string> wanted = BuildWantedNameSet({"MyApp", "myapp", "a-very-long-name-x", ""});
  EXPECT_EQ((std::set<std::string>{"", "a-very-long-name-x", "myapp"}), wanted);
  struct Case {
    std::string comm;
    std::string exe;
    bool match;
  };
  const std::vector<Case> cases = {
      {"myapp\n", "", true},
      {"other\n", "/opt/x/MYAPP", true},
      {"MyApp", "/usr/bin/other", true},
      {"a-very-long-na\n", "/usr/bin/a-very-long-name-x", true},
      {"a-very-long-na\n", "", false},
      // A removed executable reads "name (deleted)": only comm can match.
      {"other\n", "/opt/x/myapp (deleted)", false},
      {"myapp\n", "/opt/x/myapp (deleted)", true},
      {"myapp2\n", "/opt/myapp/bin", false},
      {" myapp \n", "", true},
      {"\n", "/", false},
      {"", "", false},
      {"my app\n", "myapp", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.match, IsWantedProcess(c.comm, c.exe, wanted)) << c.comm << " | " << c.exe;
  }
}

}  // namespace
