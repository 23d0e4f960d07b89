#include "killswitch/kill_switch_guard.h"

#include <arpa/inet.h>

#include <algorithm>

#include "killswitch/local_network.h"
#include "killswitch/safe_token.h"
#include "lifecycle/nft_table_commands.h"
#include "lifecycle/text_utils.h"
#include "routing/ipv4_prefix.h"

namespace {

// The bit a connection's label gets when it comes in through an uplink. A
// label is not a mark: it routes nothing and leaves alone the marks the
// ICMP bypass and app routing save into connections.
constexpr const char* kIncomingLabel = "127";
// The label of a connection whose frames were bridged on an uplink bridge,
// and the mark that carries the news from the bridge's hook to ours.
constexpr const char* kBridgedLabel = "126";
constexpr const char* kBridgedMark = "0x0000007e";

// The marks of the ICMP bypass and of the app-routing group, as nft lists them.
constexpr const char* kIcmpBypassMark = "0x00000001";
constexpr const char* kAppMark = "0x00000066";

constexpr const char* kRejectLine = "reject";

std::string TableName(const std::string& family = "inet") {
  return family + " " + kKillSwitchGuardTable;
}

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

// A network in the form nft lists it: an address without a length where
// the length covers it whole. Only networks that passed their screen
// (guard_devices.h) come here.
std::string ListedNetwork(const std::string& network) {
  const std::string whole = network.find(':') != std::string::npos ? "/128" : "/32";
  const size_t at = network.size() - std::min(network.size(), whole.size());
  return network.compare(at, std::string::npos, whole) == 0 ? network.substr(0, at) : network;
}

// The host's own upkeep of its network: a DHCP lease is renewed by unicast
// to the server, found by broadcast (DHCPv6: multicast) or on the uplink's
// own networks; IPv6 finds routers and neighbours with ICMPv6. Their ports,
// destinations and types, nothing else of theirs.
std::vector<std::string> UpkeepRules(const KillSwitchDevices& devices) {
  std::vector<std::string> rules;
  const struct {
    const char* match;
    const char* everywhere;
    const std::vector<std::string>& on_link;
    const char* ports;
  } dhcp[] = {{"ip daddr ", "255.255.255.255", devices.on_link4, " udp sport 68 udp dport 67 accept"},
              {"ip6 daddr ", "ff02::1:2", devices.on_link6, " udp sport 546 udp dport 547 accept"}};
  for (const auto& family : dhcp) {
    rules.push_back(family.match + std::string(family.everywhere) + family.ports);
    for (const std::string& network : family.on_link) {
      rules.push_back(family.match + ListedNetwork(network) + family.ports);
    }
  }
  rules.push_back("icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept");
  return rules;
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
  // The bypass marks IPv4 ICMP alone, so IPv6 through the tunnel passes as
  // the IPv6 chain lets it, and so does another program's traffic with the
  // same mark that is not ICMP (the bypass's rule leaves it in the tunnel).
  std::vector<std::string> rules = {BaseChainHeader("output"), "oifname \"lo\" accept",
                                    "oifname " + tun + " meta nfproto ipv6 accept",
                                    "oifname " + tun + " meta mark != " + kIcmpBypassMark + " accept",
                                    "oifname " + tun + " meta l4proto != icmp accept"};
  Append(DestinationJumps(), &rules);
  if (inputs.allow_app_mark) rules.push_back(std::string("meta mark ") + kAppMark + " accept");
  for (const std::string& bridge : SafeNames(inputs.devices.local_bridges)) {
    rules.push_back("oifname " + Device(bridge) + " accept");
  }
  rules.push_back("jump upkeep");
  Append(RedirectedLookupRules(inputs.lookup_targets), &rules);
  if (inputs.allow_lan) rules.push_back(LocalNetworkJump());
  rules.push_back(kRejectLine);
  return rules;
}

// What may leave through an uplink, after the chain that jumped here
// picked the packets that do.
std::vector<std::string> UplinkRules(const KillSwitchInputs& inputs, bool postrouting) {
  std::vector<std::string> rules = DestinationJumps();
  rules.push_back(std::string("ct direction reply ct label ") + kIncomingLabel + " accept");
  if (!postrouting) {
    if (inputs.allow_lan) rules.push_back(LocalNetworkJump());
    rules.push_back(kRejectLine);
    return rules;
  }
  // The bypassed programs' traffic goes where the policy's tables send it;
  // a tunnel-only program's never leaves through an uplink.
  if (inputs.app_mark_to_uplinks) rules.push_back(std::string("meta mark ") + kAppMark + " accept");
  rules.push_back("jump upkeep");
  if (inputs.allow_lan) rules.push_back(LocalNetworkJump());
  // Nothing can be rejected after routing; dropped, the sender sees its
  // send fail or time out.
  rules.push_back("drop");
  return rules;
}

// A bridged connection's frames stay on the uplink bridge they came by:
// they are the local network's own. (Postrouting knows no input device.)
std::vector<std::string> BridgedRules(const KillSwitchInputs& inputs, const std::string& hook) {
  std::vector<std::string> rules;
  const std::string label = std::string(" ct label ") + kBridgedLabel + " accept";
  for (const std::string& bridge : SafeNames(inputs.devices.bridged_uplinks)) {
    const std::string input = hook == "forward" ? "iifname " + Device(bridge) + " " : "";
    rules.push_back(input + "oifname " + Device(bridge) + label);
  }
  return rules;
}

// Right after connection tracking, before anything else routes by marks:
// the bridge table's mark becomes the connection's label where the frame
// came by an uplink bridge, and goes again wherever it came.
std::vector<std::string> BridgedLabelRules(const KillSwitchInputs& inputs) {
  std::vector<std::string> rules = {"type filter hook prerouting priority -190; policy accept;"};
  const std::string marked = std::string("meta mark ") + kBridgedMark;
  for (const std::string& bridge : SafeNames(inputs.devices.bridged_uplinks)) {
    rules.push_back("iifname " + Device(bridge) + " " + marked + " ct label set " + kBridgedLabel);
  }
  rules.push_back(marked + " meta mark set 0x00000000");
  return rules;
}

std::vector<std::string> PerUplink(const KillSwitchInputs& inputs, const std::string& hook,
                                   const std::string& rule) {
  std::vector<std::string> rules = {BaseChainHeader(hook)};
  if (hook != "prerouting") Append(BridgedRules(inputs, hook), &rules);
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
  AddChain("upkeep", UpkeepRules(inputs.devices), &lines);
  if (inputs.allow_lan) AddChain(kLocalNetworkChain, LocalNetworkTableRules(), &lines);
  AddChain("output", OutputRules(inputs), &lines);
  AddChain("prerouting",
           PerUplink(inputs, "prerouting",
                     std::string("ct state new ct label set ") + kIncomingLabel),
           &lines);
  AddChain("bridged", BridgedLabelRules(inputs), &lines);
  AddChain("forward-uplink", UplinkRules(inputs, false), &lines);
  AddChain("forward", PerUplink(inputs, "forward", "jump forward-uplink"), &lines);
  AddChain("postrouting-uplink", UplinkRules(inputs, true), &lines);
  AddChain("postrouting", PerUplink(inputs, "postrouting", "jump postrouting-uplink"), &lines);
  lines.push_back("}");
  return lines;
}

bool WantsKillSwitchBridgeTable(const KillSwitchInputs& inputs) {
  return !SafeNames(inputs.devices.bridged_uplinks).empty();
}

std::vector<std::string> KillSwitchBridgeTableLines() {
  // Before br_netfilter (priority 0) turns a frame for another's link
  // address into one for the host. Only frames no one marked yet.
  return {"table " + TableName("bridge") + " {", "chain prerouting {",
          "type filter hook prerouting priority filter; policy accept;",
          std::string("meta protocol { ip, ip6 } meta mark 0x00000000 meta pkttype != host meta mark set ") +
              kBridgedMark,
          "}", "}"};
}

std::string KillSwitchGuardInstallCommand(const std::vector<std::string>& lines) {
  return NftTableInstallCommand(TableName(), lines);
}

std::string KillSwitchBridgeTableInstallCommand() {
  return NftTableInstallCommand(TableName("bridge"), KillSwitchBridgeTableLines());
}

std::string KillSwitchGuardStartCommand(const KillSwitchInputs& inputs) {
  std::vector<NftTableScript> tables = {{TableName(), KillSwitchGuardLines(inputs)}};
  if (WantsKillSwitchBridgeTable(inputs)) {
    tables.push_back({TableName("bridge"), KillSwitchBridgeTableLines()});
  }
  return NftTablesInstallCommand(tables);
}

std::string KillSwitchGuardCleanupCommand() { return NftTableDeleteCommand(TableName()); }

std::string KillSwitchBridgeTableCleanupCommand() { return NftTableDeleteCommand(TableName("bridge")); }

std::vector<std::string> KillSwitchUpkeepRules(const KillSwitchDevices& devices) {
  return UpkeepRules(devices);
}
