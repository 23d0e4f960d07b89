#include "dns/dns_redirect_table.h"

#include <arpa/inet.h>

#include "approuting/markers.h"
#include "dns/dns_addresses.h"
#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

const std::string kTable = std::string("inet ") + kDnsRedirectTable;
const char* kLookupMatch = "meta l4proto { tcp, udp } th dport 53";

struct Family {
  int af;
  const char* nfproto;  // as "meta nfproto" names it
  const char* address;  // the address match of "ip daddr"
  const char* loopback;
};
constexpr Family kIpv4 = {AF_INET, "ipv4", "ip", "127.0.0.0/8"};
constexpr Family kIpv6 = {AF_INET6, "ipv6", "ip6", "::1"};

// Only texts that parse as addresses of the family reach the script:
// their grammar admits digits, dots, colons and hex letters alone.
std::vector<std::string> AddressesOf(const Family& family, const std::vector<std::string>& texts) {
  std::vector<std::string> kept;
  unsigned char bytes[sizeof(struct in6_addr)];
  for (const std::string& text : texts) {
    if (inet_pton(family.af, text.c_str(), bytes) == 1) kept.push_back(text);
  }
  return kept;
}

std::string AnonymousSet(const std::vector<std::string>& items) {
  std::string set = "{ ";
  for (size_t i = 0; i < items.size(); ++i) set += (i > 0 ? ", " : "") + items[i];
  return set + " }";
}

// Early returns for what is not a lookup, or is one left alone whoever
// sends it: to the tunnel's transport or to the tunnel's own resolvers.
std::vector<std::string> LookupLines(const DnsRedirectInputs& inputs) {
  std::vector<std::string> lines = {"meta l4proto != { tcp, udp } return", "th dport != 53 return"};
  for (const Family& family : {kIpv4, kIpv6}) {
    const std::vector<std::string>& endpoint =
        family.af == AF_INET ? inputs.endpoint.ipv4 : inputs.endpoint.ipv6;
    // Left alone: the tunnel's transport and the tunnel's own resolvers.
    std::vector<std::string> alone;
    for (const std::vector<std::string>* texts : {&endpoint, &inputs.addresses}) {
      for (const std::string& address : AddressesOf(family, *texts)) {
        bool seen = false;
        for (const std::string& kept : alone) seen = seen || kept == address;
        // A set may not name an element twice.
        if (!seen) alone.push_back(address);
      }
    }
    if (alone.empty()) continue;
    lines.push_back(std::string(family.address) + " daddr " + AnonymousSet(alone) + " return");
  }
  return lines;
}

// Early returns for what is not a lookup in scope; a chain's later rules
// then act on the rest. The refusal keeps a selected program's lookup to
// the IPv6 loopback address: the kernel never routes that address off the
// host, so it cannot be redirected and is refused instead.
std::vector<std::string> ScopeLines(const DnsRedirectInputs& inputs, bool refusal) {
  std::vector<std::string> lines = LookupLines(inputs);
  const std::string mark = kAppPacketMark;
  switch (inputs.scope) {
    case DnsLookupScope::kAllButSelected:
      lines.push_back("meta mark " + mark + " return");
      [[fallthrough]];
    case DnsLookupScope::kAllLookups:
      lines.push_back(std::string("ip daddr ") + kIpv4.loopback + " return");
      lines.push_back(std::string("ip6 daddr ") + kIpv6.loopback + " return");
      break;
    case DnsLookupScope::kSelectedOnly:
      lines.push_back("meta mark != " + mark + " return");
      if (!refusal) lines.push_back(std::string("ip6 daddr ") + kIpv6.loopback + " return");
      break;
  }
  return lines;
}

// The same for lookups the host forwards (a container's, a virtual
// machine's), where they are redirected (prerouting) or refused (forward).
// Left alone besides: those that came from the tunnel; those to the host
// itself (a resolver the host runs for its virtual machines answers as it
// is, and its own lookups upstream are the host's); those to a neighbour
// back through the device they came in by (where br_netfilter is loaded,
// as container runtimes load it, a bridge's own packets pass these hooks
// too: a container asking a resolver in another container on its bridge
// keeps asking it); and, at the refusal, those a DNAT already sent
// somewhere (the redirect itself, or a port the host forwards to a
// container's resolver).
std::vector<std::string> ForwardedScopeLines(const DnsRedirectInputs& inputs, bool refusal) {
  std::vector<std::string> lines = LookupLines(inputs);
  lines.push_back("iifname { \"lo\", \"" + inputs.tun_name + "\" } return");
  lines.push_back(refusal ? "ct status dnat return" : "fib daddr type local return");
  lines.push_back("fib daddr . iif oif exists return");
  return lines;
}

// Forwarded traffic follows the split routes into the tunnel unless the
// policy sends only the selected programs there.
bool CoversForwarded(const DnsRedirectInputs& inputs) {
  return inputs.scope != DnsLookupScope::kSelectedOnly;
}

void AppendChain(std::vector<std::string>* lines, const std::string& name, const std::string& hook,
                 const std::vector<std::string>& rules) {
  lines->push_back("chain " + name + " {");
  lines->push_back(hook);
  lines->insert(lines->end(), rules.begin(), rules.end());
  lines->push_back("}");
}

std::vector<std::string> Joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A refusal the resolver notices at once: a reset for TCP, an ICMP port
// unreachable for UDP.
std::vector<std::string> RefusalRules(const std::string& match) {
  return {match + " meta l4proto tcp reject with tcp reset", match + " reject"};
}

}  // namespace

std::vector<std::string> DnsRedirectTableLines(const DnsRedirectInputs& inputs) {
  const std::string tun = "\"" + inputs.tun_name + "\"";
  std::vector<std::string> redirects;
  std::vector<std::string> refusals;  // of the families without an address
  std::vector<std::string> source_nat;
  std::vector<std::string> confine;
  for (const Family& family : {kIpv4, kIpv6}) {
    const std::string target =
        FirstDnsAddressOfFamily(AddressesOf(family, inputs.addresses), family.af);
    const std::string nfproto = std::string("meta nfproto ") + family.nfproto;
    if (target.empty()) {
      for (const std::string& rule : RefusalRules(nfproto)) refusals.push_back(rule);
      continue;
    }
    redirects.push_back(nfproto + " dnat " + family.address + " to " + target);
    // Redirected on the physical route, a lookup still has that route's
    // source address (a forwarded one, its sender's); the tunnel's far end
    // answers only the tunnel's own.
    const std::string redirected = "ct status dnat " + std::string(family.address) + " daddr " +
                                   target + " " + kLookupMatch;
    source_nat.push_back("oifname " + tun + " " + redirected + " masquerade");
    // Judged where the real device is known: only here, after the redirect
    // re-routed it, does a packet show where it leaves.
    confine.push_back("oifname != " + tun + " " + redirected + " drop");
  }

  std::vector<std::string> lines = {"table " + kTable + " {"};
  if (inputs.route_localnet_raised) {
    lines.insert(lines.end(), {"set route_localnet_raised {", "type ifname",
                               "elements = { " + tun + " }", "}"});
    // route_localnet lets packets for 127.0.0.0/8 in through the TUN device
    // too: whoever runs the far end could reach the services the host keeps
    // on loopback. Dropped before any address translation, so the answers
    // to the redirected lookups, addressed to the tunnel's address until
    // their translation is undone, still come in.
    const std::string from_tunnel = "iifname " + tun + " ip ";
    AppendChain(&lines, "tunnel_loopback", "type filter hook prerouting priority raw; policy accept;",
                {from_tunnel + "daddr " + kIpv4.loopback + " drop",
                 from_tunnel + "saddr " + kIpv4.loopback + " drop"});
  }
  // After mangle OUTPUT (-150), where the selected programs' packets get
  // their mark, and before the nat table of iptables (-100).
  AppendChain(&lines, "steer_lookups", "type nat hook output priority -110; policy accept;",
              Joined(ScopeLines(inputs, false), redirects));
  std::vector<std::string> refuse = refusals;
  if (inputs.scope == DnsLookupScope::kSelectedOnly) {
    refuse = Joined(RefusalRules(std::string("ip6 daddr ") + kIpv6.loopback), refusals);
  }
  if (!refuse.empty()) {
    AppendChain(&lines, "refuse_lookups", "type filter hook output priority 0; policy accept;",
                Joined(ScopeLines(inputs, true), refuse));
  }
  if (CoversForwarded(inputs)) {
    // Before the nat table of iptables (-100): a port the host forwards
    // to a container is still addressed to the host here.
    AppendChain(&lines, "steer_forwarded", "type nat hook prerouting priority -110; policy accept;",
                Joined(ForwardedScopeLines(inputs, false), redirects));
    if (!refusals.empty()) {
      AppendChain(&lines, "refuse_forwarded", "type filter hook forward priority 0; policy accept;",
                  Joined(ForwardedScopeLines(inputs, true), refusals));
    }
  }
  AppendChain(&lines, "source_nat", "type nat hook postrouting priority 100; policy accept;",
              source_nat);
  AppendChain(&lines, "confine_lookups", "type filter hook postrouting priority 0; policy accept;",
              confine);
  lines.push_back("}");
  return lines;
}

std::string DnsRedirectInstallCommand(const DnsRedirectInputs& inputs) {
  // An empty table is made first so that the delete finds one: together
  // they remove an earlier copy, or nothing, in the install's transaction.
  std::vector<std::string> lines = {"table " + kTable + " {}", "delete table " + kTable};
  for (const std::string& line : DnsRedirectTableLines(inputs)) lines.push_back(line);
  return FeedLinesCommand(lines, "nft -f -");
}

std::string DnsRedirectRemoveCommand() { return "nft delete table " + kTable + kQuietSuffix; }

std::string DnsRedirectListingCommand() { return "nft list table " + kTable + " 2>/dev/null"; }

std::vector<std::string> ParseRouteLocalnetDevices(const std::string& set_listing) {
  std::vector<std::string> devices;
  const size_t elements = set_listing.find("elements = {");
  if (elements == std::string::npos) return devices;
  const size_t end = set_listing.find('}', elements);
  size_t at = elements;
  for (;;) {
    const size_t open = set_listing.find('"', at);
    if (open == std::string::npos || open > end) break;
    const size_t close = set_listing.find('"', open + 1);
    if (close == std::string::npos || close > end) break;
    const std::string device = set_listing.substr(open + 1, close - open - 1);
    if (!RouteLocalnetPath(device).empty()) devices.push_back(device);
    at = close + 1;
  }
  return devices;
}

bool NeedsRouteLocalnet(const DnsRedirectInputs& inputs) {
  return inputs.scope == DnsLookupScope::kSelectedOnly &&
         !FirstDnsAddressOfFamily(inputs.addresses, AF_INET).empty();
}

std::string RouteLocalnetPath(const std::string& device) {
  // The name becomes a path component: a safe word that cannot climb out
  // of the device directory.
  if (!IsSafeShellToken(device) || device.find('/') != std::string::npos || device == "." ||
      device == "..") {
    return {};
  }
  return "/proc/sys/net/ipv4/conf/" + device + "/route_localnet";
}
