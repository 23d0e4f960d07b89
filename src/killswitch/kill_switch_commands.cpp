#include "killswitch/kill_switch_commands.h"

#include <arpa/inet.h>

#include "approuting/markers.h"
#include "killswitch/firewall_save.h"
#include "killswitch/kill_switch_guard.h"
#include "killswitch/safe_token.h"
#include "killswitch/kill_switch_lookups.h"
#include "killswitch/local_network.h"
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

// The host talks to its containers and virtual machines through their
// bridges. A bridge made after the start is not admitted until it is
// known: what the kill switch does not know it rejects. The screen for the
// names is IsSafeShellToken, here and in the reader (guard_devices.h).
void AppendLocalBridgeRules(const KillSwitchInputs& inputs, std::vector<std::string>* rules) {
  for (const std::string& bridge : inputs.devices.local_bridges) {
    if (IsSafeShellToken(bridge)) rules->push_back("-o " + bridge + " -j RETURN");
  }
}

// The host keeps its address: DHCP (DHCPv6) from the client's port to the
// server's, only to where a server can be: the limited broadcast (the
// servers' multicast group) and the networks on an uplink's link. The
// networks passed their screen where they were read (guard_devices.h).
std::vector<std::string> DhcpRules(const std::string& everywhere,
                                   const std::vector<std::string>& on_link,
                                   const std::string& ports) {
  std::vector<std::string> rules = {"-d " + everywhere + " " + ports + " -j RETURN"};
  for (const std::string& network : on_link) rules.push_back("-d " + network + " " + ports + " -j RETURN");
  return rules;
}

void AppendRules(std::vector<std::string>* rules, const std::vector<std::string>& more) {
  rules->insert(rules->end(), more.begin(), more.end());
}

}  // namespace

std::vector<std::string> KillSwitchIpv4Rules(const KillSwitchInputs& inputs) {
  // The ICMP bypass marks pings in mangle OUTPUT and so re-routes them to
  // the physical path, but this chain still sees the device of the first
  // route, the TUN. Marked pings must not pass as tunnel traffic: they
  // leave only when addressed to the endpoint or a bypass prefix. Another
  // program's packets with the same mark that are not ICMP stay in the
  // tunnel (the bypass's policy rule takes ICMP alone) and pass like any.
  const std::string tun = "-o " + inputs.tun_name;
  std::vector<std::string> rules = {"-o lo -j RETURN",
                                    tun + " -m mark ! --mark " + kIcmpBypassMark + " -j RETURN",
                                    tun + " ! -p icmp -j RETURN"};
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
  AppendLocalBridgeRules(inputs, &rules);
  // A DHCP lease is renewed by unicast from the client's port to the
  // server's; without it the host loses its address when the lease ends.
  AppendRules(&rules, DhcpRules("255.255.255.255/32", inputs.devices.on_link4,
                                "-p udp --sport 68 --dport 67"));
  AppendRules(&rules, KillSwitchRedirectedLookupRules(AF_INET, inputs.lookup_targets));
  if (inputs.allow_lan) AppendRules(&rules, LocalNetworkChainRules(AF_INET, inputs.tun_name));
  rules.push_back("-j REJECT");
  return rules;
}

std::vector<std::string> KillSwitchIpv6Rules(const KillSwitchInputs& inputs) {
  std::vector<std::string> rules = {"-o lo -j RETURN", "-o " + inputs.tun_name + " -j RETURN"};
  for (const std::string& address : inputs.endpoint.ipv6) {
    if (IsAddressOfFamily(AF_INET6, address)) rules.push_back("-d " + address + "/128 -j RETURN");
  }
  if (inputs.allow_app_mark) rules.push_back(AppMarkReturnRule());
  // IPv6 finds the gateway's link address with ICMPv6 neighbour discovery,
  // which passes through this chain (ARP does not pass through iptables).
  // Without these two the endpoint (or a bypassed program's peer) becomes
  // unreachable as soon as the neighbour entry has to be resolved again,
  // and the host's own address stops working on the local network.
  rules.push_back("-p ipv6-icmp --icmpv6-type neighbour-solicitation -j RETURN");
  rules.push_back("-p ipv6-icmp --icmpv6-type neighbour-advertisement -j RETURN");
  AppendLocalBridgeRules(inputs, &rules);
  // DHCPv6 and router solicitation keep the host's address and routes on
  // a network: the client's ports to the servers', and the one ICMPv6 type.
  AppendRules(&rules, DhcpRules("ff02::1:2/128", inputs.devices.on_link6,
                                "-p udp --sport 546 --dport 547"));
  rules.push_back("-p ipv6-icmp --icmpv6-type router-solicitation -j RETURN");
  AppendRules(&rules, KillSwitchRedirectedLookupRules(AF_INET6, inputs.lookup_targets));
  if (inputs.allow_lan) AppendRules(&rules, LocalNetworkChainRules(AF_INET6, inputs.tun_name));
  rules.push_back("-j REJECT");
  return rules;
}

std::vector<std::string> BuildKillSwitchIpv4Commands(const KillSwitchInputs& inputs) {
  return ChainCommands("iptables", KillSwitchIpv4Rules(inputs));
}

std::vector<std::string> BuildKillSwitchIpv6Commands(const KillSwitchInputs& inputs) {
  return ChainCommands("ip6tables", KillSwitchIpv6Rules(inputs));
}

bool WantsIpv6KillSwitch(const KillSwitchInputs& inputs) {
  return inputs.want_ipv6 || !inputs.endpoint.ipv6.empty();
}

std::vector<std::string> BuildKillSwitchReplaceLines(const std::vector<std::string>& rules,
                                                     size_t listed_jumps) {
  const std::string chain = kKillSwitchChain;
  // A chain that exists is emptied by its declaration, within the
  // transaction: nothing ever sees it half filled.
  std::vector<std::string> lines = {"*filter", ":" + chain + " - [0:0]"};
  for (const std::string& rule : rules) lines.push_back("-A " + chain + " " + rule);
  for (size_t i = 0; i < listed_jumps; ++i) lines.push_back("-D OUTPUT -j " + chain);
  lines.push_back("-I OUTPUT 1 -j " + chain);
  lines.push_back("COMMIT");
  return lines;
}

size_t CountKillSwitchJumps(const std::string& firewall_save) {
  const std::string jump = std::string("-j ") + kKillSwitchChain;
  size_t jumps = 0;
  const FirewallListing listing = ParseFirewallSave(firewall_save);
  for (const std::string& rule : ListedRules(listing, "filter", "OUTPUT")) {
    if (SameFirewallRule(rule, jump)) ++jumps;
  }
  return jumps;
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
  commands.push_back(KillSwitchGuardCleanupCommand());
  commands.push_back(KillSwitchBridgeTableCleanupCommand());
  // A restore interrupted by another program's change of OUTPUT (or by a
  // kill) can leave a second jump, and each -D above removes one: the
  // chain, though emptied, would stay referenced and undeletable.
  for (const std::string tool : {"iptables", "ip6tables"}) {
    commands.push_back("while " + tool + " -D OUTPUT -j " + chain + kQuietSuffix + "; do :; done; " +
                       tool + " -X " + chain + kQuietSuffix);
  }
  return commands;
}
