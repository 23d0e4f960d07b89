#include "killswitch/firewall_save.h"

#include <arpa/inet.h>

#include <cstdio>

#include "lifecycle/text_utils.h"

namespace {

// "ADDRESS[/LENGTH]" as the tool lists it: with its length, IPv4 with the
// host bits cleared, IPv6 in its short form.
std::string CanonicalAddress(const std::string& text) {
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  const std::string length = slash == std::string::npos ? "" : text.substr(slash + 1);
  if (!length.empty() &&
      (length.size() > 3 || !IsAllDigits(length))) {
    return text;
  }
  unsigned char bytes[sizeof(struct in6_addr)];
  char shortest[INET6_ADDRSTRLEN];
  const int family = address.find(':') == std::string::npos ? AF_INET : AF_INET6;
  if (inet_pton(family, address.c_str(), bytes) != 1) return text;
  const int bits = length.empty() ? (family == AF_INET ? 32 : 128) : std::stoi(length);
  const int limit = family == AF_INET ? 32 : 128;
  if (bits > limit) return text;
  for (int bit = bits; bit < limit; ++bit) bytes[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
  if (inet_ntop(family, bytes, shortest, sizeof(shortest)) == nullptr) return text;
  return std::string(shortest) + "/" + std::to_string(bits);
}

std::string IcmpV6TypeNumber(const std::string& type) {
  if (type == "router-solicitation") return "133";
  if (type == "router-advertisement") return "134";
  if (type == "neighbour-solicitation" || type == "neighbor-solicitation") return "135";
  if (type == "neighbour-advertisement" || type == "neighbor-advertisement") return "136";
  return type;
}

// A mark as the tool lists it: hexadecimal.
std::string HexMark(const std::string& value) {
  try {
    size_t used = 0;
    const unsigned long number = std::stoul(value, &used, 0);
    if (used != value.size()) return value;
    char text[16];
    snprintf(text, sizeof(text), "0x%lx", number);
    return text;
  } catch (...) {
    return value;
  }
}

std::string Unquoted(const std::string& word) {
  if (word.size() >= 2 && word.front() == '"' && word.back() == '"') {
    return word.substr(1, word.size() - 2);
  }
  return word;
}

bool IsProtocolModule(const std::string& module, const std::string& protocol) {
  return module == protocol || (module == "icmp6" && protocol == "ipv6-icmp") ||
         (module == "icmp6" && protocol == "icmpv6");
}

}  // namespace

std::string FirewallSaveCommand(const std::string& tool) { return tool + "-save 2>/dev/null"; }

FirewallListing ParseFirewallSave(const std::string& text) {
  FirewallListing listing;
  listing.readable = true;
  FirewallTable* table = nullptr;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '*') {
      table = &listing.tables[line.substr(1)];
    } else if (table == nullptr || line == "COMMIT") {
      continue;
    } else if (line[0] == ':') {
      const size_t space = line.find(' ');
      table->chains.insert(line.substr(1, space == std::string::npos ? std::string::npos : space - 1));
    } else if (line.rfind("-A ", 0) == 0) {
      const size_t space = line.find(' ', 3);
      if (space == std::string::npos) continue;
      table->rules[line.substr(3, space - 3)].push_back(line.substr(space + 1));
    }
  }
  return listing;
}

const std::vector<std::string>& ListedRules(const FirewallListing& listing,
                                            const std::string& table, const std::string& chain) {
  static const std::vector<std::string> kNone;
  const auto found_table = listing.tables.find(table);
  if (found_table == listing.tables.end()) return kNone;
  const auto found_chain = found_table->second.rules.find(chain);
  return found_chain == found_table->second.rules.end() ? kNone : found_chain->second;
}

bool ListsChain(const FirewallListing& listing, const std::string& table, const std::string& chain) {
  const auto found = listing.tables.find(table);
  return found != listing.tables.end() && found->second.chains.count(chain) != 0;
}

std::string CanonicalFirewallRule(const std::string& rule) {
  const std::vector<std::string> words = SplitWords(rule);
  std::vector<std::string> kept;
  std::string protocol;
  for (size_t i = 0; i < words.size(); ++i) {
    const bool has_next = i + 1 < words.size();
    const std::string next = has_next ? Unquoted(words[i + 1]) : std::string();
    if (words[i] == "-p" && has_next) protocol = next;
    // The protocol's own match module is implied by "-p".
    if (words[i] == "-m" && has_next && IsProtocolModule(next, protocol)) {
      ++i;
      continue;
    }
    // Defaults the tool names and the helper leaves out.
    if (words[i] == "--reject-with" && has_next &&
        (next == "icmp-port-unreachable" || next == "icmp6-port-unreachable")) {
      ++i;
      continue;
    }
    if ((words[i] == "--nfmask" || words[i] == "--ctmask") && has_next && next == "0xffffffff") {
      ++i;
      continue;
    }
    if (words[i] == "--set-mark" && has_next) {
      kept.push_back("--set-xmark");
      kept.push_back(HexMark(next) + "/0xffffffff");
      ++i;
      continue;
    }
    kept.push_back(Unquoted(words[i]));
    if (!has_next) continue;
    if (words[i] == "-d" || words[i] == "-s") {
      kept.push_back(CanonicalAddress(next));
      ++i;
    } else if (words[i] == "--icmpv6-type") {
      kept.push_back(IcmpV6TypeNumber(next));
      ++i;
    } else if (words[i] == "--mark" || words[i] == "--set-xmark") {
      const size_t slash = next.find('/');
      kept.push_back(slash == std::string::npos
                         ? HexMark(next)
                         : HexMark(next.substr(0, slash)) + "/" + HexMark(next.substr(slash + 1)));
      ++i;
    }
  }
  std::string canonical;
  for (const std::string& word : kept) canonical += (canonical.empty() ? "" : " ") + word;
  return canonical;
}

bool SameFirewallRule(const std::string& a, const std::string& b) {
  return CanonicalFirewallRule(a) == CanonicalFirewallRule(b);
}
