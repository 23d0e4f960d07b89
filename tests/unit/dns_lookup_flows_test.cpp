#include "dns/lookup_flows.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// As "conntrack -L" lists them: the host's lookup to the router, one
// redirected to the tunnel's resolver, a client of a resolver the host
// publishes for a container (another rule's DNAT), a selected program's
// (connection mark 0x66), one to a loopback stub, one straight to the
// tunnel's resolver, an IPv6 one, and lines that are not flows to keep.
const char kListing[] =
    "udp      17 29 src=192.0.2.2 dst=192.0.2.1 sport=40000 dport=53 src=192.0.2.1 dst=192.0.2.2 "
    "sport=53 dport=40000 mark=0 use=1\n"
    "udp      17 28 src=192.0.2.2 dst=192.0.2.1 sport=40001 dport=53 src=100.100.53.53 "
    "dst=172.19.0.1 sport=53 dport=40001 [ASSURED] mark=0 use=1\n"
    "tcp      6 431999 ESTABLISHED src=2001:db8:1::9 dst=2001:db8:1::2 sport=40002 dport=53 "
    "src=fd00:30::3 dst=2001:db8:1::9 sport=53 dport=40002 [ASSURED] mark=0 use=1\n"
    "udp      17 29 src=192.0.2.2 dst=198.51.100.53 sport=40003 dport=53 src=198.51.100.53 "
    "dst=192.0.2.2 sport=53 dport=40003 mark=102 use=1\n"
    "udp      17 29 src=127.0.0.1 dst=127.0.0.53 sport=40004 dport=53 src=127.0.0.53 "
    "dst=127.0.0.1 sport=53 dport=40004 mark=0 use=1\n"
    "udp      17 29 src=172.19.0.1 dst=100.100.53.53 sport=40005 dport=53 src=100.100.53.53 "
    "dst=172.19.0.1 sport=53 dport=40005 mark=0 use=1\n"
    "udp      17 29 src=2001:db8:1::2 dst=2001:DB8:1::1 sport=40006 dport=53 [UNREPLIED] "
    "src=2001:db8:1::1 dst=2001:db8:1::2 sport=53 dport=40006 mark=0 use=1\n"
    "conntrack v1.4.7 (conntrack-tools): 7 flow entries have been shown.\n"
    "udp      17 29 src=192.0.2.2;reboot dst=192.0.2.1 sport=1 dport=53 src=192.0.2.1 "
    "dst=192.0.2.2 sport=53 dport=1 mark=0 use=1\n"
    "udp      17 29 src=192.0.2.2 dst=192.0.2.1 sport=99999 dport=53 src=192.0.2.1 "
    "dst=192.0.2.2 sport=53 dport=99999 mark=0 use=1\n";

DnsRedirectInputs Inputs(DnsLookupScope scope, const Lines& addresses) {
  DnsRedirectInputs inputs;
  inputs.tun_name = "tun0";
  inputs.addresses = addresses;
  inputs.endpoint.ipv4 = {"203.0.113.7"};
  inputs.scope = scope;
  return inputs;
}

// The source ports of the flows that pass.
template <typename Pass>
std::string Ports(Pass pass) {
  std::string ports;
  for (const LookupFlow& flow : ParseLookupFlows(kListing)) {
    if (pass(flow)) ports += (ports.empty() ? "" : " ") + flow.source_port;
  }
  return ports;
}

TEST(LookupFlows, ParsedWithBothDirectionsAndOnlyWhenEveryValueParses) {
  const std::vector<LookupFlow> flows = ParseLookupFlows(kListing);
  ASSERT_EQ(7u, flows.size());
  EXPECT_EQ("udp 192.0.2.2 192.0.2.1 40001 53 100.100.53.53 53",
            flows[1].protocol + " " + flows[1].source + " " + flows[1].destination + " " +
                flows[1].source_port + " " + flows[1].destination_port + " " +
                flows[1].reply_source + " " + flows[1].reply_source_port);
  EXPECT_EQ("tcp", flows[2].protocol);
  EXPECT_EQ(102u, flows[3].mark);
  EXPECT_EQ("2001:db8:1::1", flows[6].destination);
  EXPECT_EQ(AF_INET6, flows[6].family);
}

// At the removal: only what the redirect sent to its targets.
TEST(LookupFlows, RedirectedAreThoseADnatSentToATarget) {
  EXPECT_EQ("40001", Ports([](const LookupFlow& flow) {
              return IsRedirectedFlow(flow, {"100.100.53.53", "fd53::53"});
            }));
  EXPECT_EQ("", Ports([](const LookupFlow& flow) { return IsRedirectedFlow(flow, {}); }));
}

// At the install and each repair: the untranslated lookups the table would
// catch now, per scope; never another rule's translated flow.
TEST(LookupFlows, CaughtAreTheUntranslatedLookupsInScope) {
  const struct {
    DnsLookupScope scope;
    Lines addresses;
    const char* caught;
  } cases[] = {
      {DnsLookupScope::kAllLookups, {"100.100.53.53", "fd53::53"}, "40000 40003 40006"},
      {DnsLookupScope::kAllButSelected, {"100.100.53.53", "fd53::53"}, "40000 40006"},
      {DnsLookupScope::kSelectedOnly, {"100.100.53.53", "fd53::53"}, "40003 40004"},
      // A family without an address is refused packet by packet, not
      // redirected: its flows need not go.
      {DnsLookupScope::kAllLookups, {"100.100.53.53"}, "40000 40003"},
      {DnsLookupScope::kAllLookups, {"fd53::53"}, "40006"},
      // Lookups to any --dns address are left alone, as the table leaves
      // them.
      {DnsLookupScope::kAllLookups, {"100.100.53.53", "198.51.100.53", "fd53::53"}, "40000 40006"},
  };
  for (const auto& c : cases) {
    const DnsRedirectInputs inputs = Inputs(c.scope, c.addresses);
    EXPECT_EQ(c.caught, Ports([&inputs](const LookupFlow& flow) {
                return WouldBeRedirected(flow, inputs);
              }))
        << static_cast<int>(c.scope) << " " << c.addresses[0];
  }
}

TEST(LookupFlows, TargetsReadBackFromTheTableAndDeletesByTuple) {
  EXPECT_EQ((Lines{"100.100.53.53", "fd53::53"}),
            ParseRedirectTargets("\t\tmeta nfproto ipv4 dnat ip to 100.100.53.53\n"
                                 "\t\tmeta nfproto ipv6 dnat ip6 to FD53::53\n"
                                 "\t\tmeta nfproto ipv4 dnat ip to 100.100.53.53\n"
                                 "\t\tdnat ip to 1.2.3.4;reboot\n"));
  const std::vector<LookupFlow> flows = ParseLookupFlows(kListing);
  EXPECT_EQ(Lines{"printf '%s\\n' '-D -p udp -s 192.0.2.2 -d 192.0.2.1 --sport 40000 --dport 53' "
                  "'-D -p tcp -s 2001:db8:1::9 -d 2001:db8:1::2 --sport 40002 --dport 53' | "
                  "conntrack -R - >/dev/null 2>&1"},
            LookupFlowDeleteCommands({flows[0], flows[2]}));
  EXPECT_EQ(Lines{}, LookupFlowDeleteCommands({}));
  // A few hundred a command, so no command grows without bound.
  EXPECT_EQ(2u, LookupFlowDeleteCommands(std::vector<LookupFlow>(300, flows[0])).size());
}

}  // namespace
