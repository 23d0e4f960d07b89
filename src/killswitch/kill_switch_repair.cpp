#include "killswitch/kill_switch_repair.h"

#include <arpa/inet.h>

#include "killswitch/kill_switch_commands.h"
#include "lifecycle/rule_listing.h"
#include "lifecycle/text_utils.h"
#include "routing/ipv4_prefix.h"

namespace {

// "ADDRESS[/LENGTH]" as the tool lists it: IPv4 with its host bits
// cleared, IPv6 in its short form, the length always written out.
std::string CanonicalAddress(const std::string& text) {
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  const std::string length = slash == std::string::npos ? "" : text.substr(slash + 1);
  unsigned char bytes[sizeof(struct in6_addr)];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    const std::string normalized =
        NormalizeIpv4Cidr(address + "/" + (length.empty() ? "32" : length));
    return normalized.empty() ? text : normalized;
  }
  char shortest[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1 ||
      inet_ntop(AF_INET6, bytes, shortest, sizeof(shortest)) == nullptr) {
    return text;
  }
  if (length.empty()) return std::string(shortest) + "/128";
  if (length.find_first_not_of("0123456789") != std::string::npos || length.size() > 3) return text;
  return std::string(shortest) + "/" + std::to_string(std::stoi(length));
}

std::string IcmpV6TypeName(const std::string& type) {
  if (type == "133") return "router-solicitation";
  if (type == "135") return "neighbour-solicitation";
  if (type == "136") return "neighbour-advertisement";
  return type;
}

bool IsJump(const std::string& output_rule) {
  return output_rule == std::string("-j ") + kKillSwitchChain;
}

}  // namespace

KillSwitchListing ParseKillSwitchListing(const std::string& filter_listing) {
  KillSwitchListing listing;
  // Every listing of a filter table names the built-in chains' policies;
  // without them the tool could not be run or read the table.
  listing.readable = filter_listing.find("-P OUTPUT ") != std::string::npos;
  const std::string chain = kKillSwitchChain;
  for (const std::string& line : SplitLines(filter_listing)) {
    if (line == "-N " + chain) listing.chain_exists = true;
  }
  listing.chain_rules = ListedChainRules(filter_listing, chain);
  listing.output_rules = ListedChainRules(filter_listing, "OUTPUT");
  return listing;
}

std::string CanonicalFirewallRule(const std::string& rule) {
  const std::vector<std::string> words = SplitWords(rule);
  std::vector<std::string> kept;
  for (size_t i = 0; i < words.size(); ++i) {
    const bool has_next = i + 1 < words.size();
    // The protocol's own match module is implied by "-p".
    if (words[i] == "-m" && has_next &&
        (words[i + 1] == "icmp6" || words[i + 1] == "icmp" || words[i + 1] == "udp")) {
      ++i;
      continue;
    }
    // The listing names the default reject type the install leaves out.
    if (words[i] == "--reject-with" && has_next &&
        (words[i + 1] == "icmp-port-unreachable" || words[i + 1] == "icmp6-port-unreachable")) {
      ++i;
      continue;
    }
    kept.push_back(words[i]);
    if (!has_next) continue;
    if (words[i] == "-d" || words[i] == "-s") {
      kept.push_back(CanonicalAddress(words[++i]));
    } else if (words[i] == "--icmpv6-type") {
      kept.push_back(IcmpV6TypeName(words[++i]));
    }
  }
  std::string canonical;
  for (const std::string& word : kept) canonical += (canonical.empty() ? "" : " ") + word;
  return canonical;
}

bool ChainHoldsExactly(const std::vector<std::string>& listed,
                       const std::vector<std::string>& expected) {
  if (listed.size() != expected.size()) return false;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (CanonicalFirewallRule(listed[i]) != CanonicalFirewallRule(expected[i])) return false;
  }
  return true;
}

bool IsOnlyJumpFirstInOutput(const std::vector<std::string>& output_rules) {
  if (output_rules.empty() || !IsJump(output_rules[0])) return false;
  for (size_t i = 1; i < output_rules.size(); ++i) {
    if (IsJump(output_rules[i])) return false;
  }
  return true;
}

KillSwitchRepair PlanKillSwitchRepair(const std::string& tool,
                                      const std::vector<std::string>& expected_rules,
                                      const KillSwitchListing& listing) {
  KillSwitchRepair repair;
  if (!listing.readable) return repair;
  const std::string chain = kKillSwitchChain;
  if (!listing.chain_exists) {
    repair.chain = true;
    repair.commands.push_back(tool + " -N " + chain);
    for (const std::string& rule : expected_rules) {
      repair.commands.push_back(tool + " -A " + chain + " " + rule);
    }
  } else if (!ChainHoldsExactly(listing.chain_rules, expected_rules)) {
    // The complete chain, REJECT included, goes on top first: the old rules
    // below it are never reached while they are deleted.
    repair.chain = true;
    for (size_t i = 0; i < expected_rules.size(); ++i) {
      repair.commands.push_back(tool + " -I " + chain + " " + std::to_string(i + 1) + " " +
                                expected_rules[i]);
    }
    const std::string below = std::to_string(expected_rules.size() + 1);
    for (size_t i = 0; i < listing.chain_rules.size(); ++i) {
      repair.commands.push_back(tool + " -D " + chain + " " + below);
    }
  }
  if (IsOnlyJumpFirstInOutput(listing.output_rules)) return repair;
  repair.jump = true;
  const bool first = !listing.output_rules.empty() && IsJump(listing.output_rules[0]);
  if (!first) repair.commands.push_back(tool + " -I OUTPUT 1 -j " + chain);
  // A second jump would outlive the teardown, which deletes one: the chain
  // would stay referenced, undeletable, and block the host.
  const size_t shift = first ? 0 : 1;
  for (size_t i = listing.output_rules.size(); i-- > (first ? 1 : 0);) {
    if (IsJump(listing.output_rules[i])) {
      repair.commands.push_back(tool + " -D OUTPUT " + std::to_string(i + 1 + shift));
    }
  }
  return repair;
}
