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

// Early returns for what is not a lookup in scope; a chain's later rules
// then act on the rest. The refusal keeps a selected program's lookup to
// the IPv6 loopback address: the kernel never routes that address off the
// host, so it cannot be redirected and is refused instead.
std::vector<std::string> ScopeLines(const DnsRedirectInputs& inputs, bool refusal) {
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

void AppendChain(std::vector<std::string>* lines, const std::string& name, const std::string& hook,
                 const std::vector<std::string>& rules) {
  lines->push_back("chain " + name + " {");
  lines->push_back(hook);
  lines->insert(lines->end(), rules.begin(), rules.end());
  lines->push_back("}");
}

// A refusal the resolver notices at once: a reset for TCP, an ICMP port
// unreachable for UDP.
std::vector<std::string> RefusalRules(const std::string& match) {
  return {match + " meta l4proto tcp reject with tcp reset", match + " reject"};
}

}  // namespace

std::vector<std::string> DnsRedirectTableLines(const DnsRedirectInputs& inputs) {
  const std::string tun = "\"" + inputs.tun_name + "\"";
  std::vector<std::string> steer = ScopeLines(inputs, false);
  std::vector<std::string> refuse;
  std::vector<std::string> source_nat;
  std::vector<std::string> confine;
  if (inputs.scope == DnsLookupScope::kSelectedOnly) {
    refuse = RefusalRules(std::string("ip6 daddr ") + kIpv6.loopback);
  }
  for (const Family& family : {kIpv4, kIpv6}) {
    const std::string target =
        FirstDnsAddressOfFamily(AddressesOf(family, inputs.addresses), family.af);
    const std::string nfproto = std::string("meta nfproto ") + family.nfproto;
    if (target.empty()) {
      for (const std::string& rule : RefusalRules(nfproto)) refuse.push_back(rule);
      continue;
    }
    steer.push_back(nfproto + " dnat " + family.address + " to " + target);
    // Redirected on the physical route, a lookup still has that route's
    // source address; the tunnel's far end answers only the tunnel's own.
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
  }
  // After mangle OUTPUT (-150), where the selected programs' packets get
  // their mark, and before the nat table of iptables (-100).
  AppendChain(&lines, "steer_lookups", "type nat hook output priority -110; policy accept;", steer);
  if (!refuse.empty()) {
    std::vector<std::string> rules = ScopeLines(inputs, true);
    rules.insert(rules.end(), refuse.begin(), refuse.end());
    AppendChain(&lines, "refuse_lookups", "type filter hook output priority 0; policy accept;",
                rules);
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

std::vector<std::string> DnsConntrackFlushCommands() {
  // Without a family the tool takes both.
  return {std::string("conntrack -D -p udp --dport 53") + kQuietSuffix,
          std::string("conntrack -D -p tcp --dport 53") + kQuietSuffix};
}

std::string RouteLocalnetListingCommand() {
  return "nft list set " + kTable + " route_localnet_raised 2>/dev/null";
}

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

bool ListsDnsRedirectTable(const std::string& tables_listing) {
  for (const std::string& line : SplitLines(tables_listing)) {
    if (Trim(line) == "table " + kTable) return true;
  }
  return false;
}
