#include "lifecycle/route_listing.h"

#include <set>

#include "lifecycle/text_utils.h"

namespace {

// Words of a route line that are followed by a value, besides via, dev,
// table and metric; anything else is a flag (linkdown, onlink, dead, ...).
const std::set<std::string>& ValuedWords() {
  static const std::set<std::string> words = {
      "proto", "scope", "src", "expires", "pref", "weight", "mtu", "advmss", "hoplimit",
      "realms", "from", "tos", "dsfield", "nhid", "rtt", "rttvar", "window", "cwnd", "initcwnd",
      "initrwnd", "ssthresh", "reordering", "features", "quickack", "congctl", "fastopen_no_cookie",
      "ttl-propagate", "encap", "as", "error", "iif", "oif", "uid", "ipproto", "sport", "dport"};
  return words;
}

const std::set<std::string>& RouteTypes() {
  static const std::set<std::string> types = {
      "unicast", "local",   "broadcast", "multicast", "anycast", "unreachable",
      "blackhole", "prohibit", "throw",  "nat",       "xresolve"};
  return types;
}

bool LeadsNowhere(const std::string& type) {
  return type == "unreachable" || type == "prohibit" || type == "blackhole" || type == "throw";
}

// A next hop whose link is down is passed over for a live one. A route
// whose link is down (its carrier lost) is still the one the kernel uses,
// and comes back with the carrier: only one it calls dead is not.
bool IsDeadFlag(const std::string& word) { return word == "dead" || word == "linkdown"; }

// "via [inet|inet6] ADDRESS": the family word is there when it differs from
// the route's own.
size_t ReadVia(const std::vector<std::string>& words, size_t i, std::string* gateway) {
  if (i + 1 < words.size() && (words[i + 1] == "inet" || words[i + 1] == "inet6")) ++i;
  if (i + 1 < words.size()) *gateway = words[i + 1];
  return i + 1;
}

ListedNextHop ParseNextHop(const std::vector<std::string>& words, bool ipv6) {
  ListedNextHop hop;
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "via") {
      i = ReadVia(words, i, &hop.gateway);
    } else if (words[i] == "dev" && i + 1 < words.size()) {
      hop.dev = words[++i];
    } else if (IsDeadFlag(words[i])) {
      hop.dead = true;
    } else if (ValuedWords().count(words[i]) != 0) {
      ++i;
    }
  }
  hop.gateway = CanonicalGateway(ipv6, hop.gateway);
  return hop;
}

ListedRoute ParseRouteLine(const std::vector<std::string>& words, bool ipv6) {
  size_t i = 0;
  std::string type;
  if (RouteTypes().count(words[0]) != 0 && words.size() > 1) type = words[i++];
  const std::string destination = words[i++];
  std::string table;
  std::string metric;
  ListedRoute route;
  for (; i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool has_value = i + 1 < words.size();
    if (word == "via") {
      i = ReadVia(words, i, &route.gateway);
    } else if (word == "dev" && has_value) {
      route.dev = words[++i];
    } else if (word == "table" && has_value) {
      table = words[++i];
    } else if (word == "metric" && has_value) {
      metric = words[++i];
    } else if (word == "dead") {
      route.dead = true;
    } else if (ValuedWords().count(word) != 0) {
      ++i;
    }
  }
  route.key = KeyOfRoute(ipv6, table, type, destination, metric);
  route.gateway = CanonicalGateway(ipv6, route.gateway);
  if (LeadsNowhere(route.key.type)) route.dev.clear();
  return route;
}

}  // namespace

std::vector<ListedRoute> ParseRouteListing(const std::string& listing, bool ipv6) {
  std::vector<ListedRoute> routes;
  for (const std::string& line : SplitLines(listing)) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) continue;
    const bool continues = line[0] == ' ' || line[0] == '\t';
    if (continues) {
      if (words[0] == "nexthop" && !routes.empty()) {
        routes.back().next_hops.push_back(ParseNextHop(words, ipv6));
      }
      continue;
    }
    routes.push_back(ParseRouteLine(words, ipv6));
  }
  return routes;
}

std::vector<ListedRoute> ParseOneLineRouteListing(const std::string& listing, bool ipv6) {
  std::string lines = listing;
  for (char& c : lines) {
    if (c == '\\') c = '\n';
  }
  return ParseRouteListing(lines, ipv6);
}

bool ListedRouteIs(const ListedRoute& listed, const OwnedRoute& owned) {
  if (!(listed.key == KeyOfOwnedRoute(owned)) || !listed.next_hops.empty()) return false;
  if (LeadsNowhere(listed.key.type)) return true;
  return listed.gateway == CanonicalGateway(owned.ipv6, owned.gateway) && listed.dev == owned.dev;
}

ListedDefaultRoute SelectDefaultRoute(const std::vector<ListedRoute>& routes, bool ipv6,
                                      const std::string& skip) {
  const ListedRoute* best = nullptr;
  ListedDefaultRoute chosen;
  for (const ListedRoute& route : routes) {
    if (route.key.ipv6 != ipv6 || route.key.table != "main" || route.key.type != "unicast" ||
        route.key.destination != (ipv6 ? "::/0" : "0.0.0.0/0")) {
      continue;
    }
    ListedDefaultRoute candidate;
    if (route.next_hops.empty()) {
      if (route.dead || route.dev.empty() || route.dev == skip) continue;
      candidate = {route.gateway, route.dev};
    } else {
      // The kernel's own choice among the next hops is not fixed; a live
      // one is what the pins must go through.
      for (const ListedNextHop& hop : route.next_hops) {
        if (hop.dead || hop.dev.empty() || hop.dev == skip) continue;
        candidate = {hop.gateway, hop.dev};
        break;
      }
      if (candidate.dev.empty()) continue;
    }
    if (best != nullptr && std::stoul(best->key.metric) <= std::stoul(route.key.metric)) continue;
    best = &route;
    chosen = candidate;
  }
  if (!ipv6 && !chosen.dev.empty() && chosen.gateway.empty()) chosen.gateway = "0.0.0.0";
  return chosen;
}

std::vector<ListedRule> ParseRuleListing(const std::string& listing) {
  std::vector<ListedRule> rules;
  for (const std::string& line : SplitLines(listing)) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0].size() < 2 || words[0].back() != ':') continue;
    ListedRule rule;
    rule.priority = words[0].substr(0, words[0].size() - 1);
    if (!IsAllDigits(rule.priority)) continue;
    for (size_t i = 1; i < words.size(); ++i) {
      const bool has_value = i + 1 < words.size();
      if (words[i] == "from" && has_value && words[i + 1] == "all") {
        ++i;
      } else if (words[i] == "fwmark" && has_value) {
        rule.fwmark = words[++i];
      } else if (words[i] == "ipproto" && has_value) {
        rule.ipproto = words[++i];
      } else if ((words[i] == "lookup" || words[i] == "table") && has_value) {
        rule.table = words[++i];
      } else {
        rule.other_selectors = true;
      }
    }
    rules.push_back(rule);
  }
  return rules;
}

bool ListedRuleIs(const ListedRule& listed, const OwnedRule& owned) {
  return !listed.other_selectors && listed.priority == owned.priority &&
         listed.fwmark == owned.fwmark && listed.table == owned.table &&
         listed.ipproto == owned.ipproto;
}
