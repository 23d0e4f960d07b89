#pragma once

#include <string>
#include <vector>

#include "lifecycle/policy_rule_dump.h"

// What a run killed without its teardown (SIGKILL, a crash) leaves of the
// helper's pieces, found without running a command: by questions to the
// kernel over netlink and a look at the cgroup filesystem. So a start that
// finds nothing runs exactly the commands it ran before, and one that finds
// a killed run can take its pieces over instead of tearing them down first.
//
// Each trace is present, absent, or unknown (the kernel did not answer, or
// refused: the caller must not conclude absence, and treats it like a trace
// that may be there).

enum class TracePresence { kAbsent, kPresent, kUnknown };

struct KilledRunTraces {
  // Chain ZELMO_KILLSWITCH in iptables' and ip6tables' table "filter".
  TracePresence kill_switch_chain4 = TracePresence::kUnknown;
  TracePresence kill_switch_chain6 = TracePresence::kUnknown;
  TracePresence kill_switch_guard = TracePresence::kUnknown;  // table inet zelmo-vpn-killswitch
  TracePresence dns_redirect = TracePresence::kUnknown;       // table inet zelmo-vpn-dns
  // Chain ZELMO_APP_GUARD in the "mangle" table of both families.
  TracePresence app_guard_chain4 = TracePresence::kUnknown;
  TracePresence app_guard_chain6 = TracePresence::kUnknown;
  // The app-routing group's directory, where this helper would make it.
  TracePresence app_group = TracePresence::kUnknown;
  // Policy rules: the ICMP bypass's (priority 100, fwmark 0x1, table 100,
  // for any protocol or ICMP alone), app routing's of each family
  // (priority 1066, fwmark 0x66, table 1066 or 1067).
  TracePresence icmp_bypass_rule = TracePresence::kUnknown;
  TracePresence app_rule4 = TracePresence::kUnknown;
  TracePresence app_rule6 = TracePresence::kUnknown;
  // Recorded, but no killed run's: the block stands between runs by the
  // user's choice, and a run with the kill switch takes it over anyway.
  TracePresence lockdown_block = TracePresence::kUnknown;
};

// Reads every trace from the host. Runs no command; needs CAP_NET_ADMIN for
// the firewall's answers (without it they are unknown).
KilledRunTraces ReadKilledRunTraces();

enum class KilledRunVerdict {
  kNone,        // every trace is absent: the start runs today's commands
  kFound,       // at least one trace is present
  kCannotTell,  // none present, some unknown: take over as if found
};
// The lockdown block does not count.
KilledRunVerdict JudgeKilledRunTraces(const KilledRunTraces& traces);

// The rule traces of one family's dump (ICMP's only in IPv4's).
TracePresence FindIcmpBypassRule(const std::vector<DumpedRule>& rules4);
TracePresence FindAppRoutingRule(const std::vector<DumpedRule>& rules, bool ipv6);

// Whether iptables' legacy back end has TABLE loaded, by the text of
// /proc/net/ip_tables_names (or ip6_tables_names): the helper's chain may
// then live there, out of nf_tables' sight.
bool ListsLegacyTable(const std::string& table_names, const std::string& table);
