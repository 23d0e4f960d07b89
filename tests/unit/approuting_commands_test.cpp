#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "approuting/membership.h"
#include "approuting/policy_apply.h"
#include "approuting/policy_cleanup.h"

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
  EXPECT_EQ(expected, StaleMarkRuleDeleteCommands(listing));
  EXPECT_EQ(Commands{}, StaleMarkRuleDeleteCommands(""));
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
    EXPECT_EQ(Commands{}, StaleMarkRuleDeleteCommands(line)) << line;
  }
  // 2048 characters after the prefix is still allowed.
  const std::string longest = rule + " " + std::string(2047 - rule.size(), 'x');
  EXPECT_EQ(Commands{kDelete + longest + kQuiet}, StaleMarkRuleDeleteCommands("-A OUTPUT " + longest));
}

TEST(AppRoutingApplyCommands, RouteAndRuleByMode) {
  const DefaultRouteInfo physical{"192.0.2.1", "eth0"};
  EXPECT_EQ((Commands{"ip route replace default via 192.0.2.1 dev eth0 table 1066",
                      "ip rule add fwmark 0x66 lookup 1066 priority 1066" + kQuiet}),
            AppRoutingRouteCommands("bypassSelected", "tun0", physical));
  EXPECT_EQ((Commands{"ip route replace default dev tun0 table 1067",
                      "ip rule add fwmark 0x66 lookup 1067 priority 1066" + kQuiet}),
            AppRoutingRouteCommands("vpnOnlySelected", "tun0", {}));
  EXPECT_EQ(Commands{}, AppRoutingRouteCommands("custom", "tun0", physical));
  EXPECT_EQ("iptables -t mangle -C OUTPUT -m cgroup --path a/zelmo-vpn-app-routing -j MARK "
            "--set-mark 0x66",
            AppMarkRuleCommand("-C", "a/zelmo-vpn-app-routing"));
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
