#include "recovery/killed_run_traces.h"

// glibc's header before the kernel's, which then leaves out what it defines.
#include <netinet/in.h>
#include <linux/netfilter.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "approuting/app_guard.h"
#include "approuting/app_routing_commands.h"
#include "approuting/cgroup_location.h"
#include "dns/dns_redirect_table.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_guard.h"
#include "killswitch/lockdown.h"
#include "lifecycle/nf_tables_probe.h"
#include "lifecycle/text_utils.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"

namespace {

TracePresence FromNfTables(NfTablesPresence presence) {
  switch (presence) {
    case NfTablesPresence::kPresent:
      return TracePresence::kPresent;
    case NfTablesPresence::kAbsent:
      return TracePresence::kAbsent;
    case NfTablesPresence::kUnknown:
      break;
  }
  return TracePresence::kUnknown;
}

// An iptables chain asked of nf_tables. Where the legacy back end has the
// table loaded, nf_tables' "no such table" proves nothing.
TracePresence ProbeIptablesChain(uint8_t family, const char* table, const char* chain) {
  const TracePresence found = FromNfTables(ProbeNfTablesChain(family, table, chain));
  if (found != TracePresence::kAbsent) return found;
  const char* names = family == NFPROTO_IPV6 ? "/proc/net/ip6_tables_names" : "/proc/net/ip_tables_names";
  return ListsLegacyTable(ReadFileToString(names), table) ? TracePresence::kUnknown
                                                          : TracePresence::kAbsent;
}

TracePresence ProbeAppGroup() {
  ResolveAppRoutingCgroupPaths();
  // A path that fails the screen never had a group made there.
  if (g_app_cgroup_fs_dir.empty() || !IsValidAppCgroupMatchPath(g_app_cgroup_match_path)) {
    return TracePresence::kAbsent;
  }
  struct stat status;
  if (stat(g_app_cgroup_fs_dir.c_str(), &status) == 0) {
    return S_ISDIR(status.st_mode) ? TracePresence::kPresent : TracePresence::kAbsent;
  }
  return errno == ENOENT || errno == ENOTDIR ? TracePresence::kAbsent : TracePresence::kUnknown;
}

TracePresence AnyRuleIs(const std::vector<DumpedRule>& rules, const std::vector<OwnedRule>& owned,
                        uint8_t also_protocol) {
  for (const OwnedRule& one : owned) {
    if (HoldsRule(rules, one, also_protocol)) return TracePresence::kPresent;
  }
  return TracePresence::kAbsent;
}

}  // namespace

TracePresence FindIcmpBypassRule(const std::vector<DumpedRule>& rules4) {
  return AnyRuleIs(rules4, {IcmpBypassOwnedRule()}, IPPROTO_ICMP);
}

TracePresence FindAppRoutingRule(const std::vector<DumpedRule>& rules, bool ipv6) {
  const AppRoutingFamily& family = ipv6 ? kAppRoutingIpv6 : kAppRoutingIpv4;
  return AnyRuleIs(rules,
                   {AppRoutingOwnedRule(family, "bypassSelected"),
                    AppRoutingOwnedRule(family, "vpnOnlySelected")},
                   0);
}

bool ListsLegacyTable(const std::string& table_names, const std::string& table) {
  for (const std::string& line : SplitLines(table_names)) {
    if (Trim(line) == table) return true;
  }
  return false;
}

KilledRunTraces ReadKilledRunTraces() {
  KilledRunTraces traces;
  traces.kill_switch_chain4 = ProbeIptablesChain(NFPROTO_IPV4, "filter", kKillSwitchChain);
  traces.kill_switch_chain6 = ProbeIptablesChain(NFPROTO_IPV6, "filter", kKillSwitchChain);
  traces.kill_switch_guard = FromNfTables(ProbeNfTablesTable(NFPROTO_INET, kKillSwitchGuardTable));
  traces.dns_redirect = FromNfTables(ProbeNfTablesTable(NFPROTO_INET, kDnsRedirectTable));
  traces.app_guard_chain4 = ProbeIptablesChain(NFPROTO_IPV4, "mangle", kAppGuardChain);
  traces.app_guard_chain6 = ProbeIptablesChain(NFPROTO_IPV6, "mangle", kAppGuardChain);
  traces.app_group = ProbeAppGroup();
  std::vector<DumpedRule> rules4;
  if (DumpPolicyRules(AF_INET, &rules4)) {
    traces.icmp_bypass_rule = FindIcmpBypassRule(rules4);
    traces.app_rule4 = FindAppRoutingRule(rules4, false);
  }
  // A kernel without IPv6 refuses the dump, and has no IPv6 rule to find.
  std::vector<DumpedRule> rules6;
  if (!KernelHasIpv6()) {
    traces.app_rule6 = TracePresence::kAbsent;
  } else if (DumpPolicyRules(AF_INET6, &rules6)) {
    traces.app_rule6 = FindAppRoutingRule(rules6, true);
  }
  traces.lockdown_block = FromNfTables(ProbeLockdownBlock());
  return traces;
}

KilledRunVerdict JudgeKilledRunTraces(const KilledRunTraces& traces) {
  const TracePresence all[] = {traces.kill_switch_chain4, traces.kill_switch_chain6,
                               traces.kill_switch_guard,  traces.dns_redirect,
                               traces.app_guard_chain4,   traces.app_guard_chain6,
                               traces.app_group,          traces.icmp_bypass_rule,
                               traces.app_rule4,          traces.app_rule6};
  bool unknown = false;
  for (const TracePresence trace : all) {
    if (trace == TracePresence::kPresent) return KilledRunVerdict::kFound;
    if (trace == TracePresence::kUnknown) unknown = true;
  }
  return unknown ? KilledRunVerdict::kCannotTell : KilledRunVerdict::kNone;
}
