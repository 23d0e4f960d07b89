#include "killswitch/kill_switch_commands.h"

#include <arpa/inet.h>

#include "approuting/markers.h"
#include "killswitch/kill_switch_lookups.h"
#include "lifecycle/shell.h"
#include "routing/ipv4_prefix.h"

const char kKillSwitchChain[] = "ZELMO_KILLSWITCH";

namespace {

// The firewall mark the ICMP bypass puts on locally generated IPv4 ICMP.
constexpr const char* kIcmpBypassMark = "0x1";

bool IsAddressOfFamily(int family, const std::string& text) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return inet_pton(family, text.c_str(), buffer) == 1;
}

// The hook goes in as rule 1 of OUTPUT only when it is missing, so a chain
// that is already hooked keeps exactly one jump.
std::string HookCommand(const std::string& tool) {
  const std::string chain = kKillSwitchChain;
  return tool + " -C OUTPUT -j " + chain + " >/dev/null 2>&1 || " + tool + " -I OUTPUT 1 -j " +
         chain;
}

// A fresh, empty chain filled with the given rules, then hooked in.
std::vector<std::string> ChainCommands(const std::string& tool, const std::vector<std::string>& rules) {
  const std::string chain = kKillSwitchChain;
  std::vector<std::string> commands = {tool + " -N " + chain, tool + " -F " + chain};
  for (const std::string& rule : rules) commands.push_back(tool + " -A " + chain + " " + rule);
  commands.push_back(HookCommand(tool));
  return commands;
}

// The selected programs' traffic: the mark sends it where the policy says,
// whatever device this chain sees on the packet's first route. The
// tunnel-only table ends in an unreachable route, so with the tunnel gone
// that traffic is refused rather than sent physically.
std::string AppMarkReturnRule() { return std::string("-m mark --mark ") + kAppPacketMark + " -j RETURN"; }

void AppendRules(std::vector<std::string>* rules, const std::vector<std::string>& more) {
  rules->insert(rules->end(), more.begin(), more.end());
}

}  // namespace

std::vector<std::string> KillSwitchIpv4Rules(const KillSwitchInputs& inputs) {
  // The ICMP bypass marks packets in mangle OUTPUT and so re-routes them to
  // the physical path, but this chain still sees the device of the first
  // route, the TUN. Marked packets must not pass as tunnel traffic: they
  // leave only when addressed to the endpoint or a bypass prefix.
  std::vector<std::string> rules = {
      "-o lo -j RETURN",
      "-o " + inputs.tun_name + " -m mark ! --mark " + kIcmpBypassMark + " -j RETURN"};
  // Only texts that parse as addresses or prefixes reach the shell: their
  // grammar admits nothing but digits, dots, colons, hex letters and one
  // slash, which is the screen for these values.
  for (const std::string& address : inputs.endpoint.ipv4) {
    if (IsAddressOfFamily(AF_INET, address)) rules.push_back("-d " + address + "/32 -j RETURN");
  }
  for (const std::string& prefix : inputs.bypass_prefixes) {
    if (!NormalizeIpv4Cidr(prefix).empty()) rules.push_back("-d " + prefix + " -j RETURN");
  }
  if (inputs.allow_app_mark) rules.push_back(AppMarkReturnRule());
  AppendRules(&rules, KillSwitchRedirectedLookupRules(AF_INET, inputs.lookup_targets));
  rules.push_back("-j REJECT");
  return rules;
}

std::vector<std::string> KillSwitchIpv6Rules(const KillSwitchInputs& inputs) {
  std::vector<std::string> rules = {"-o lo -j RETURN", "-o " + inputs.tun_name + " -j RETURN"};
  bool has_endpoint = false;
  for (const std::string& address : inputs.endpoint.ipv6) {
    if (IsAddressOfFamily(AF_INET6, address)) {
      rules.push_back("-d " + address + "/128 -j RETURN");
      has_endpoint = true;
    }
  }
  if (inputs.allow_app_mark) rules.push_back(AppMarkReturnRule());
  // IPv6 finds the gateway's link address with ICMPv6 neighbour discovery,
  // which passes through this chain (ARP does not pass through iptables).
  // Without these two the endpoint (or a bypassed program's peer) becomes
  // unreachable as soon as the neighbour entry has to be resolved again.
  if (has_endpoint || inputs.allow_app_mark) {
    rules.push_back("-p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN");
    rules.push_back("-p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN");
  }
  AppendRules(&rules, KillSwitchRedirectedLookupRules(AF_INET6, inputs.lookup_targets));
  rules.push_back("-j REJECT");
  return rules;
}

std::vector<std::string> BuildKillSwitchIpv4Commands(const KillSwitchInputs& inputs) {
  return ChainCommands("iptables", KillSwitchIpv4Rules(inputs));
}

std::vector<std::string> BuildKillSwitchIpv6Commands(const KillSwitchInputs& inputs) {
  return ChainCommands("ip6tables", KillSwitchIpv6Rules(inputs));
}

std::vector<std::string> BuildKillSwitchEndpointInsertCommands(const ResolvedAddresses& endpoint,
                                                               bool ipv6_chain,
                                                               bool allow_app_mark) {
  // Rules 1 and 2 are loopback and the tunnel; a fresh build puts the
  // endpoint's rules right after them.
  const std::string chain = kKillSwitchChain;
  std::vector<std::string> commands;
  int position = 3;
  for (const std::string& address : endpoint.ipv4) {
    if (!IsAddressOfFamily(AF_INET, address)) continue;
    commands.push_back("iptables -I " + chain + " " + std::to_string(position++) + " -d " +
                       address + "/32 -j RETURN");
  }
  if (!ipv6_chain) return commands;
  position = 3;
  for (const std::string& address : endpoint.ipv6) {
    if (!IsAddressOfFamily(AF_INET6, address)) continue;
    commands.push_back("ip6tables -I " + chain + " " + std::to_string(position++) + " -d " +
                       address + "/128 -j RETURN");
  }
  // Neighbour discovery passes already where the app mark does.
  if (position > 3 && !allow_app_mark) {
    const std::string insert = "ip6tables -I " + chain + " ";
    commands.push_back(insert + std::to_string(position++) +
                       " -p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN");
    commands.push_back(insert + std::to_string(position) +
                       " -p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN");
  }
  return commands;
}

bool WantsIpv6KillSwitch(const KillSwitchInputs& inputs) {
  return inputs.want_ipv6 || !inputs.endpoint.ipv6.empty();
}

std::vector<std::string> BuildKillSwitchCleanupCommands() {
  const std::string chain = kKillSwitchChain;
  std::vector<std::string> commands;
  // The hook is removed before the chain is flushed and deleted: a chain
  // that is still referenced cannot be deleted.
  for (const std::string tool : {"iptables", "ip6tables"}) {
    commands.push_back(tool + " -D OUTPUT -j " + chain + kQuietSuffix);
    commands.push_back(tool + " -F " + chain + kQuietSuffix);
    commands.push_back(tool + " -X " + chain + kQuietSuffix);
  }
  return commands;
}
