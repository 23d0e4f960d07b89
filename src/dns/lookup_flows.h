#pragma once

// The port-53 flows in connection tracking, and which of them the
// name-lookup redirect changed or would change. A redirect lives in its
// flow's entry, not in the table: a flow that began before the table keeps
// its way after the install, and a redirected one keeps the redirect after
// the removal. So those flows go, and only those: a flow another rule
// translated (a resolver the host publishes for a container) keeps its
// entry, without which its answers would be new traffic of their own.

#include <string>
#include <vector>

#include "dns/dns_redirect_table.h"

// One entry as "conntrack -L" lists it; addresses as inet_ntop writes them.
struct LookupFlow {
  std::string protocol;  // "udp" or "tcp"
  int family = 0;        // AF_INET or AF_INET6
  // The original direction.
  std::string source;
  std::string destination;
  std::string source_port;
  std::string destination_port;
  // Where its answers come from: another address or port than the
  // original destination when a DNAT sent the flow elsewhere.
  std::string reply_source;
  std::string reply_source_port;
  unsigned long mark = 0;  // the connection's mark
};

// The UDP and TCP entries of a listing. Only entries whose addresses and
// ports parse are kept: that is the screen for the values that go back
// into a delete.
std::vector<LookupFlow> ParseLookupFlows(const std::string& conntrack_listing);

// The redirect to one of TARGETS (its --dns addresses): the flow went to
// port 53 and a DNAT sent it to a target.
bool IsRedirectedFlow(const LookupFlow& flow, const std::vector<std::string>& targets);
// A flow no DNAT translated that the table, were it made now, would
// redirect: a lookup of a family it has an address for, in the inputs'
// scope, to neither a --dns address nor the endpoint. Where the scope
// turns on the selected programs, their flows are told by the connection
// mark (0x66) their way out saved; a loopback flow carries none and counts
// as a selected one where those are redirected.
bool WouldBeRedirected(const LookupFlow& flow, const DnsRedirectInputs& inputs);

// The redirect targets a listing of the table names ("dnat ip to ADDRESS"),
// each an address that parses.
std::vector<std::string> ParseRedirectTargets(const std::string& table_listing);

// "conntrack -L -p PROTOCOL --orig-port-dst 53 2>/dev/null" for UDP and TCP.
std::vector<std::string> LookupFlowListingCommands();
// Commands that delete FLOWS by their original tuple: "conntrack -R -" fed
// a "-D ..." line per flow, a few hundred a command; none for no flow.
std::vector<std::string> LookupFlowDeleteCommands(const std::vector<LookupFlow>& flows);
