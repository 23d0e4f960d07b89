#include "killswitch/kill_switch_guard.h"

#include <arpa/inet.h>

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/ipv4_prefix.h"

namespace {

// The bit a connection's label gets when it comes in through an uplink. A
// label is not a mark: it routes nothing and leaves alone the marks the
// ICMP bypass and app routing save into connections.
constexpr const char* kIncomingLabel = "127";

// The marks of the ICMP bypass and of the app-routing group, as nft lists them.
constexpr const char* kIcmpBypassMark = "0x00000001";
constexpr const char* kAppMark = "0x00000066";

constexpr const char* kRejectLine = "reject";

std::string TableName() { return std::string("inet ") + kKillSwitchGuardTable; }

// Addresses and prefixes in the form nft lists them: the short forms of
// inet_ntop, a prefix with its host bits cleared and a /32 as the bare
// address. Only texts that parse get this far, and their grammar admits no
// quote or shell character: that is the screen for these values.
std::string ListedAddress(int family, const std::string& text) {
  unsigned char bytes[sizeof(struct in6_addr)];
  char listed[INET6_ADDRSTRLEN];
  if (inet_pton(family, text.c_str(), bytes) != 1 ||
      inet_ntop(family, bytes, listed, sizeof(listed)) == nullptr) {
    return {};
  }
  return listed;
}

std::string ListedPrefix(const std::string& prefix) {
  std::string listed = NormalizeIpv4Cidr(prefix);
  const size_t host = listed.rfind("/32");
  if (!listed.empty() && host == listed.size() - 3) listed.erase(host);
  return listed;
}

// A device name between quotes. The screen: the TUN name passed
// IsSafeShellToken before the build, and the other names are held to it
// here (the reader keeps no others either).
std::string Device(const std::string& name) { return "\"" + name + "\""; }

std::vector<std::string> SafeNames(const std::vector<std::string>& names) {
  std::vector<std::string> safe;
  for (const std::string& name : names) {
    if (IsSafeShellToken(name)) safe.push_back(name);
  }
  return safe;
}

std::vector<std::string> EndpointRules(int family, const std::vector<std::string>& addresses) {
  const std::string match = family == AF_INET ? "ip daddr " : "ip6 daddr ";
  std::vector<std::string> rules;
  for (const std::string& address : addresses) {
    const std::string listed = ListedAddress(family, address);
    if (!listed.empty()) rules.push_back(match + listed + " accept");
  }
  return rules;
}

std::vector<std::string> BypassRules(const std::vector<std::string>& prefixes) {
  std::vector<std::string> rules;
  for (const std::string& prefix : prefixes) {
    const std::string listed = ListedPrefix(prefix);
    if (!listed.empty()) rules.push_back("ip daddr " + listed + " accept");
  }
  return rules;
}

// The host's own upkeep of its network: a DHCP lease is renewed by unicast
// to the server, IPv6 finds routers and neighbours with ICMPv6. Their
// ports and types, nothing else of theirs.
std::vector<std::string> UpkeepRules() {
  return {"udp sport 68 udp dport 67 accept", "udp sport 546 udp dport 547 accept",
          "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept"};
}

// Lookups the redirect rewrote: their first route was the physical one,
// towards the resolver they were sent to.
std::vector<std::string> RedirectedLookupRules(const std::vector<std::string>& servers) {
  std::vector<std::string> rules;
  for (const int family : {AF_INET, AF_INET6}) {
    for (const std::string& server : servers) {
      const std::string listed = ListedAddress(family, server);
      if (listed.empty()) continue;
      rules.push_back(std::string("ct status dnat meta l4proto { tcp, udp } th dport 53 ") +
                      (family == AF_INET ? "ip daddr " : "ip6 daddr ") + listed + " accept");
    }
  }
  return rules;
}

// Where traffic may go whatever device it leaves by.
std::vector<std::string> DestinationJumps() {
  return {"jump endpoint4", "jump endpoint6", "jump bypass"};
}

std::string BaseChainHeader(const std::string& hook) {
  return "type filter hook " + hook + " priority filter; policy accept;";
}

void AddChain(const std::string& name, const std::vector<std::string>& rules,
              std::vector<std::string>* lines) {
  lines->push_back("chain " + name + " {");
  lines->insert(lines->end(), rules.begin(), rules.end());
  lines->push_back("}");
}

void Append(const std::vector<std::string>& more, std::vector<std::string>* rules) {
  rules->insert(rules->end(), more.begin(), more.end());
}

// The chain's rules for the device of a packet's first route.
std::vector<std::string> OutputRules(const KillSwitchInputs& inputs) {
  const std::string tun = Device(inputs.tun_name);
  // Pings the ICMP bypass marked are re-routed to the physical path after
  // this hook's device was chosen: they must not pass as tunnel traffic.
  // The bypass marks IPv4 alone, so IPv6 through the tunnel passes as the
  // IPv6 chain lets it.
  std::vector<std::string> rules = {BaseChainHeader("output"), "oifname \"lo\" accept",
                                    "oifname " + tun + " meta nfproto ipv6 accept",
                                    "oifname " + tun + " meta mark != " + kIcmpBypassMark + " accept"};
  Append(DestinationJumps(), &rules);
  if (inputs.allow_app_mark) rules.push_back(std::string("meta mark ") + kAppMark + " accept");
  for (const std::string& bridge : SafeNames(inputs.devices.local_bridges)) {
    rules.push_back("oifname " + Device(bridge) + " accept");
  }
  rules.push_back("jump upkeep");
  Append(RedirectedLookupRules(inputs.lookup_targets), &rules);
  rules.push_back(kRejectLine);
  return rules;
}

// What may leave through an uplink, after the chain that jumped here
// picked the packets that do.
std::vector<std::string> UplinkRules(const KillSwitchInputs& inputs, bool postrouting) {
  std::vector<std::string> rules = DestinationJumps();
  rules.push_back(std::string("ct direction reply ct label ") + kIncomingLabel + " accept");
  if (!postrouting) {
    rules.push_back(kRejectLine);
    return rules;
  }
  // The bypassed programs' traffic goes where the policy's tables send it;
  // a tunnel-only program's never leaves through an uplink.
  if (inputs.app_mark_to_uplinks) rules.push_back(std::string("meta mark ") + kAppMark + " accept");
  rules.push_back("jump upkeep");
  // Nothing can be rejected after routing; dropped, the sender sees its
  // send fail or time out.
  rules.push_back("drop");
  return rules;
}

std::vector<std::string> PerUplink(const KillSwitchInputs& inputs, const std::string& hook,
                                   const std::string& rule) {
  std::vector<std::string> rules = {BaseChainHeader(hook)};
  const std::string match = hook == "prerouting" ? "iifname " : "oifname ";
  for (const std::string& uplink : SafeNames(inputs.devices.uplinks)) {
    rules.push_back(match + Device(uplink) + " " + rule);
  }
  return rules;
}

}  // namespace

std::vector<std::string> KillSwitchGuardLines(const KillSwitchInputs& inputs) {
  std::vector<std::string> lines = {"table " + TableName() + " {"};
  // Chains are listed in the order they are made; those jumped to come first.
  AddChain("endpoint4", EndpointRules(AF_INET, inputs.endpoint.ipv4), &lines);
  AddChain("endpoint6", EndpointRules(AF_INET6, inputs.endpoint.ipv6), &lines);
  AddChain("bypass", BypassRules(inputs.bypass_prefixes), &lines);
  AddChain("upkeep", UpkeepRules(), &lines);
  AddChain("output", OutputRules(inputs), &lines);
  AddChain("prerouting",
           PerUplink(inputs, "prerouting",
                     std::string("ct state new ct label set ") + kIncomingLabel),
           &lines);
  AddChain("forward-uplink", UplinkRules(inputs, false), &lines);
  AddChain("forward", PerUplink(inputs, "forward", "jump forward-uplink"), &lines);
  AddChain("postrouting-uplink", UplinkRules(inputs, true), &lines);
  AddChain("postrouting", PerUplink(inputs, "postrouting", "jump postrouting-uplink"), &lines);
  lines.push_back("}");
  return lines;
}

std::string KillSwitchGuardInstallCommand(const std::vector<std::string>& lines) {
  // Made if missing, so that the delete never fails; deleted; made anew.
  std::vector<std::string> script = {"table " + TableName() + " {}", "delete table " + TableName()};
  script.insert(script.end(), lines.begin(), lines.end());
  return FeedLinesCommand(script, "nft -f -");
}

std::string KillSwitchGuardCleanupCommand() {
  return "nft delete table " + TableName() + kQuietSuffix;
}
