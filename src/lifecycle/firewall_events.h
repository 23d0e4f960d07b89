#pragma once

#include <cstddef>
#include <string>

// Notifications of firewall changes. The nf_tables back end of iptables and
// ip6tables announces every change of a rule, chain or table to listeners
// of its change group; the watch while READY waits on them and then reads
// back what it keeps installed. The legacy back end announces nothing.

// True when "iptables -V" (or ip6tables) output names the nf_tables back end.
bool ReportsNfTablesBackend(const std::string& version_text);

// A non-blocking, close-on-exec netlink socket on the nf_tables change
// group; -1 where there is none to be had (no netfilter netlink, no
// permission) or where either tool uses the legacy back end, whose changes
// it would never see.
int OpenFirewallEvents();

// True when a buffer of nf_tables notifications names a table the helper
// uses: filter, mangle or nat of IPv4 or IPv6 (the tables iptables and
// ip6tables work in), or an inet table whose name begins "zelmo-vpn".
// A message it cannot read counts as one that does.
bool FirewallMessagesConcernHelper(const void* data, size_t length);

// Reads every notification waiting on the socket; true when any of them
// concerned the helper's tables, or some were lost.
bool DrainFirewallEvents(int fd);
