#include "recovery/killed_run_traces.h"

#include <gtest/gtest.h>
#include <linux/fib_rules.h>
#include <netinet/in.h>

namespace {

DumpedRule Lookup(uint32_t priority, uint32_t mark, uint32_t table) {
  DumpedRule rule;
  rule.priority = priority;
  rule.fwmark = mark;
  rule.fwmask = mark == 0 ? 0 : UINT32_MAX;
  rule.table = table;
  rule.action = FR_ACT_TO_TBL;
  return rule;
}

TEST(KilledRunTraces, RulesAreTheHelpersOnlyInTheirExactForm) {
  DumpedRule icmp_only = Lookup(100, 1, 100);
  icmp_only.ip_proto = IPPROTO_ICMP;
  DumpedRule udp_only = icmp_only;
  udp_only.ip_proto = IPPROTO_UDP;
  DumpedRule from_somewhere = Lookup(1066, 0x66, 1067);
  from_somewhere.other_selectors = true;
  DumpedRule masked = Lookup(100, 1, 100);
  masked.fwmask = 0xff;
  DumpedRule goto_rule = Lookup(100, 1, 100);
  goto_rule.action = FR_ACT_GOTO;
  struct Case {
    const char* what;
    DumpedRule rule;
    TracePresence icmp, app;
  };
  const TracePresence yes = TracePresence::kPresent, no = TracePresence::kAbsent;
  const Case cases[] = {
      {"the ICMP bypass's rule", Lookup(100, 1, 100), yes, no},
      {"the ICMP bypass's rule for ICMP alone", icmp_only, yes, no},
      {"the same for UDP", udp_only, no, no},
      {"another table", Lookup(100, 1, 101), no, no},
      {"another priority", Lookup(101, 1, 100), no, no},
      {"a mask of part of the mark", masked, no, no},
      {"a goto", goto_rule, no, no},
      {"bypassSelected's rule", Lookup(1066, 0x66, 1066), no, yes},
      {"vpnOnlySelected's rule", Lookup(1066, 0x66, 1067), no, yes},
      {"another mark", Lookup(1066, 0x67, 1067), no, no},
      {"one that selects more", from_somewhere, no, no},
  };
  for (const Case& c : cases) {
    const std::vector<DumpedRule> rules = {Lookup(0, 0, 255), c.rule, Lookup(32766, 0, 254)};
    EXPECT_EQ(c.icmp, FindIcmpBypassRule(rules)) << c.what;
    EXPECT_EQ(c.app, FindAppRoutingRule(rules, false)) << c.what;
    EXPECT_EQ(c.app, FindAppRoutingRule(rules, true)) << c.what;
  }
}

TEST(KilledRunTraces, VerdictCountsPresenceFirstAndUnknownAsMaybe) {
  KilledRunTraces clean;
  clean.kill_switch_chain4 = clean.kill_switch_chain6 = clean.kill_switch_guard =
      clean.dns_redirect = clean.app_guard_chain4 = clean.app_guard_chain6 = clean.app_group =
          clean.icmp_bypass_rule = clean.app_rule4 = clean.app_rule6 = TracePresence::kAbsent;
  clean.lockdown_block = TracePresence::kPresent;
  EXPECT_EQ(KilledRunVerdict::kNone, JudgeKilledRunTraces(clean)) << "the block is no killed run's";
  KilledRunTraces unsure = clean;
  unsure.app_rule6 = TracePresence::kUnknown;
  EXPECT_EQ(KilledRunVerdict::kCannotTell, JudgeKilledRunTraces(unsure));
  KilledRunTraces found = unsure;
  found.app_group = TracePresence::kPresent;
  EXPECT_EQ(KilledRunVerdict::kFound, JudgeKilledRunTraces(found));
  EXPECT_EQ(KilledRunVerdict::kCannotTell, JudgeKilledRunTraces(KilledRunTraces{}))
      << "nothing read is nothing known";
}

TEST(KilledRunTraces, LegacyTablesAreNamedOnePerLine) {
  EXPECT_TRUE(ListsLegacyTable("mangle\nfilter\n", "filter"));
  EXPECT_FALSE(ListsLegacyTable("mangle\nfilterx\n", "filter"));
  EXPECT_FALSE(ListsLegacyTable("", "filter"));
}

}  // namespace
