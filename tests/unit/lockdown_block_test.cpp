#include "killswitch/lockdown_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "killswitch/kill_switch_guard.h"

namespace {

using Lines = std::vector<std::string>;

// The rules of one chain in a table's lines, its header included; `found`
// tells an empty chain from a missing one.
Lines ChainOf(const Lines& lines, const std::string& chain, bool* found = nullptr) {
  Lines rules;
  const auto start = std::find(lines.begin(), lines.end(), "chain " + chain + " {");
  if (found != nullptr) *found = start != lines.end();
  for (auto line = start == lines.end() ? start : start + 1;
       line != lines.end() && *line != "}"; ++line) {
    rules.push_back(*line);
  }
  return rules;
}

TEST(LockdownBlock, EachInputReachesTheChainsItConcerns) {
  struct Case {
    const char* what;
    Lines bridges;
    bool allow_lan;
    const char* chain;
    Lines rules;
  };
  const Case cases[] = {
      {"nothing but loopback and the upkeep", {}, false, "admitted",
       {"oifname \"lo\" accept", "jump upkeep"}},
      {"local bridges, a name that is no safe word left out, and the local network",
       {"docker0", "br;x", "virbr0"}, true, "admitted",
       {"oifname \"lo\" accept", "oifname \"docker0\" accept", "oifname \"virbr0\" accept",
        "jump upkeep", "jump local-network"}},
      {"what the host sends: rejected at once", {}, false, "output",
       {"type filter hook output priority filter; policy accept;", "jump admitted", "reject"}},
      {"what it forwards: rejected too", {}, true, "forward",
       {"type filter hook forward priority filter; policy accept;", "jump admitted", "reject"}},
      {"the device a packet really leaves by: dropped", {}, false, "postrouting",
       {"type filter hook postrouting priority filter; policy accept;", "jump admitted", "drop"}},
  };
  for (const Case& c : cases) {
    LockdownBlockInputs inputs;
    inputs.local_bridges = c.bridges;
    inputs.allow_lan = c.allow_lan;
    EXPECT_EQ(c.rules, ChainOf(LockdownBlockLines(inputs), c.chain)) << c.what;
  }
}

TEST(LockdownBlock, SharesTheGuardsUpkeepAndLocalNetwork) {
  LockdownBlockInputs block;
  block.allow_lan = true;
  KillSwitchInputs guard;
  guard.tun_name = "tun0";
  guard.allow_lan = true;
  for (const char* chain : {"upkeep", "local-network"}) {
    bool found = false;
    const Lines rules = ChainOf(LockdownBlockLines(block), chain, &found);
    EXPECT_TRUE(found) << chain;
    EXPECT_FALSE(rules.empty()) << chain;
    EXPECT_EQ(ChainOf(KillSwitchGuardLines(guard), chain), rules) << chain;
  }
  bool found = true;
  ChainOf(LockdownBlockLines(LockdownBlockInputs{}), "local-network", &found);
  EXPECT_FALSE(found) << "no local network unless asked";
}

TEST(LockdownBlock, CommandsReplaceInOneTransactionAndNameTheTable) {
  const Lines lines = LockdownBlockLines(LockdownBlockInputs{});
  EXPECT_EQ("table inet zelmo-vpn-block {", lines.front());
  EXPECT_EQ("}", lines.back());
  EXPECT_EQ("printf '%s\\n' 'table inet zelmo-vpn-block {}' 'delete table inet zelmo-vpn-block' "
            "'table inet zelmo-vpn-block {' '}' | nft -f -",
            LockdownBlockInstallCommand({"table inet zelmo-vpn-block {", "}"}));
  EXPECT_EQ("nft list table inet zelmo-vpn-block 2>/dev/null", LockdownBlockListCommand());
  EXPECT_EQ("nft delete table inet zelmo-vpn-block >/dev/null 2>&1", LockdownBlockRemoveCommand());
}

}  // namespace
