#include "watch/repair_plan.h"

#include <map>

#include "killswitch/safe_token.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/text_utils.h"
#include "watch/owned_pieces.h"

namespace {

bool IsHeld(const std::set<std::string>& held, const std::string& piece) {
  return held.count(piece) != 0;
}

// A listed route written back for its delete. Every word comes from the
// kernel's listing: the destination and gateway as inet_ntop writes them,
// the rest screened here.
bool DeleteLineOf(const ListedRoute& route, std::string* line) {
  std::string text = route.key.type == "unicast" ? "" : route.key.type + " ";
  text += route.key.destination;
  if (!route.gateway.empty()) text += " via " + route.gateway;
  if (!route.dev.empty()) text += " dev " + route.dev;
  text += " metric " + route.key.metric;
  if (route.key.table != "main") text += " table " + route.key.table;
  for (const std::string& word : SplitWords(text)) {
    if (!IsSafeShellToken(word)) return false;
  }
  *line = "route del " + text;
  return true;
}

void PlanRoutes(bool ipv6, const std::vector<OwnedRoute>& wanted,
                const std::vector<ListedRoute>& listed,
                const std::function<bool(const ListedRoute&)>& owned_route,
                std::vector<std::string>* batch) {
  std::map<RouteKey, const ListedRoute*> by_key;
  for (const ListedRoute& route : listed) {
    if (route.next_hops.empty()) by_key.emplace(route.key, &route);
  }
  std::set<RouteKey> wanted_keys;
  // Replaced where the destination is the same: a route that still leads
  // the old way is turned into the new one in place.
  for (const OwnedRoute& owned : wanted) {
    if (owned.ipv6 != ipv6) continue;
    const RouteKey key = KeyOfOwnedRoute(owned);
    wanted_keys.insert(key);
    const auto found = by_key.find(key);
    if (found != by_key.end() && ListedRouteIs(*found->second, owned)) continue;
    batch->push_back(RouteBatchLine("replace", owned));
  }
  for (const ListedRoute& route : listed) {
    if (route.key.ipv6 != ipv6 || wanted_keys.count(route.key) != 0 || !route.next_hops.empty() ||
        !owned_route(route)) {
      continue;
    }
    std::string line;
    if (DeleteLineOf(route, &line)) batch->push_back(line);
  }
}

void PlanRules(bool ipv6, const std::vector<WantedRule>& wanted,
               const std::vector<ListedRule>& listed,
               const std::function<bool(const ListedRule&, bool ipv6)>& owned_rule,
               const std::set<std::string>& held, RepairPlan* repair,
               std::vector<std::string>* batch) {
  std::vector<const ListedRule*> unmatched;
  for (const ListedRule& rule : listed) {
    if (IsOwnedRuleForm(rule, ipv6)) unmatched.push_back(&rule);
  }
  for (const WantedRule& want : wanted) {
    if (want.owned.ipv6 != ipv6) continue;
    bool found = false;
    for (auto it = unmatched.begin(); it != unmatched.end(); ++it) {
      if (!ListedRuleIs(**it, want.owned)) continue;
      unmatched.erase(it);
      found = true;
      break;
    }
    if (found) continue;
    repair->broken.insert(want.piece);
    if (IsHeld(held, want.piece)) {
      repair->held.insert(want.piece);
      continue;
    }
    batch->push_back(RuleBatchLine("add", want.owned));
  }
  // What is left over is the helper's but not wanted now, or a second copy.
  for (const ListedRule* rule : unmatched) {
    if (!owned_rule(*rule, ipv6)) continue;
    // Of one of the helper's forms (IsOwnedRuleForm): each value is its own.
    batch->push_back(
        RuleBatchLine("del", {ipv6, rule->priority, rule->fwmark, rule->table, rule->ipproto}));
  }
}

struct TableOps {
  std::vector<std::string> chains;  // chains made or rewritten, first
  std::vector<std::string> rules;   // then the rules of built-in chains
  std::vector<std::string> tail;    // then chains that go
};

// A listed rule as it goes back after "-D CHAIN ": the tool accepts its own
// listing back; a cgroup path it lists in quotes is taken without them.
// Screen: nothing but the listed rule's safe words reaches the restore.
bool DeletableRule(const std::string& listed, std::string* rule) {
  std::string text;
  for (const std::string& word : SplitWords(listed)) {
    std::string bare = word;
    if (bare.size() >= 2 && bare.front() == '"' && bare.back() == '"') {
      bare = bare.substr(1, bare.size() - 2);
    }
    text += (text.empty() ? "" : " ") + bare;
  }
  if (!IsSafeListedRule(text)) return false;
  *rule = text;
  return true;
}

void PlanChain(const WantedChain& want, const FirewallListing& listing,
               const std::set<std::string>& held, RepairPlan* repair, TableOps* ops) {
  const std::vector<std::string>& listed = ListedRules(listing, want.table, want.chain);
  bool in_place = ListsChain(listing, want.table, want.chain) && listed.size() == want.rules.size();
  for (size_t i = 0; in_place && i < listed.size(); ++i) {
    in_place = SameFirewallRule(listed[i], want.rules[i]);
  }
  if (in_place) return;
  repair->broken.insert(want.piece);
  if (IsHeld(held, want.piece)) {
    repair->held.insert(want.piece);
    return;
  }
  // Made, or emptied and filled, within the transaction: never seen half.
  ops->chains.push_back(":" + want.chain + " - [0:0]");
  for (const std::string& rule : want.rules) ops->chains.push_back("-A " + want.chain + " " + rule);
}

// The helper's rules of a built-in chain: those that stand first at their
// places, each of the others once, in any order (none of them depends on
// another's place), and no other rule of the helper's.
void PlanSharedChain(const std::string& table, const std::string& chain,
                     const std::vector<WantedChainRule>& wanted, const FirewallListing& listing,
                     const std::set<std::string>& held, RepairPlan* repair, TableOps* ops) {
  const std::vector<std::string>& listed = ListedRules(listing, table, chain);
  std::vector<std::string> owned;
  for (const std::string& rule : listed) {
    if (IsOwnedChainRule(table, chain, rule)) owned.push_back(rule);
  }
  std::set<std::string> broken;
  for (size_t i = 0; i < wanted.size(); ++i) {
    size_t copies = 0;
    for (const std::string& rule : owned) copies += SameFirewallRule(rule, wanted[i].rule) ? 1 : 0;
    const bool placed =
        !wanted[i].first || (i < listed.size() && SameFirewallRule(listed[i], wanted[i].rule));
    if (copies != 1 || !placed) broken.insert(wanted[i].piece);
  }
  bool unwanted = false;
  for (const std::string& rule : owned) {
    bool is_wanted = false;
    for (const WantedChainRule& want : wanted) is_wanted |= SameFirewallRule(rule, want.rule);
    unwanted |= !is_wanted;
  }
  if (broken.empty() && !unwanted) return;
  bool all_held = !unwanted;
  for (const std::string& piece : broken) {
    repair->broken.insert(piece);
    if (IsHeld(held, piece)) {
      repair->held.insert(piece);
    } else {
      all_held = false;
    }
  }
  if (all_held) return;
  // The helper's rules of the chain go and come back in order, within one
  // transaction: the chain never holds fewer of them than before.
  std::vector<std::string> deletes;
  for (const std::string& rule : owned) {
    std::string deletable;
    if (!DeletableRule(rule, &deletable)) return;  // left alone: not one to put into a command
    deletes.push_back("-D " + chain + " " + deletable);
  }
  ops->rules.insert(ops->rules.end(), deletes.begin(), deletes.end());
  for (size_t i = wanted.size(); i-- > 0;) {
    if (wanted[i].first) ops->rules.push_back("-I " + chain + " 1 " + wanted[i].rule);
  }
  for (const WantedChainRule& want : wanted) {
    if (!want.first) ops->rules.push_back("-A " + chain + " " + want.rule);
  }
}

std::vector<std::string> PlanFirewall(const WantedFirewall& wanted, const FirewallListing& listing,
                                      const std::set<std::string>& held, RepairPlan* repair) {
  if (!listing.readable) return {};
  std::map<std::string, TableOps> tables;
  std::set<std::pair<std::string, std::string>> wanted_chains;
  for (const WantedChain& chain : wanted.chains) {
    wanted_chains.insert({chain.table, chain.chain});
    PlanChain(chain, listing, held, repair, &tables[chain.table]);
  }
  // Built-in chains that hold a wanted rule or one of the helper's.
  std::map<std::pair<std::string, std::string>, std::vector<WantedChainRule>> shared;
  for (const WantedChainRule& rule : wanted.rules) {
    std::vector<WantedChainRule>& rules = shared[{rule.table, rule.chain}];
    // Rules that stand first go before the others, in their order.
    if (!rule.first) {
      rules.push_back(rule);
      continue;
    }
    auto at = rules.begin();
    while (at != rules.end() && at->first) ++at;
    rules.insert(at, rule);
  }
  for (const auto& [table_name, table] : listing.tables) {
    // Screen: a listed table or chain name goes into the restore's lines.
    if (!IsSafeShellToken(table_name)) continue;
    for (const auto& [chain_name, rules] : table.rules) {
      if (IsOwnedChain(table_name, chain_name) || !IsSafeShellToken(chain_name)) continue;
      for (const std::string& rule : rules) {
        if (IsOwnedChainRule(table_name, chain_name, rule)) shared[{table_name, chain_name}];
      }
    }
    for (const std::string& chain : table.chains) {
      if (IsOwnedChain(table_name, chain) && wanted_chains.count({table_name, chain}) == 0) {
        tables[table_name].tail.push_back("-F " + chain);
        tables[table_name].tail.push_back("-X " + chain);
      }
    }
  }
  for (const auto& [where, rules] : shared) {
    PlanSharedChain(where.first, where.second, rules, listing, held, repair, &tables[where.first]);
  }
  std::vector<std::string> lines;
  for (const auto& [table_name, ops] : tables) {
    if (ops.chains.empty() && ops.rules.empty() && ops.tail.empty()) continue;
    lines.push_back("*" + table_name);
    lines.insert(lines.end(), ops.chains.begin(), ops.chains.end());
    lines.insert(lines.end(), ops.rules.begin(), ops.rules.end());
    lines.insert(lines.end(), ops.tail.begin(), ops.tail.end());
    lines.push_back("COMMIT");
  }
  return lines;
}

}  // namespace

RepairPlan PlanRepair(const WantedState& wanted, const HostListings& host,
                      const std::function<bool(const ListedRoute&)>& owned_route,
                      const std::function<bool(const ListedRule&, bool ipv6)>& owned_rule,
                      const std::set<std::string>& held_pieces) {
  RepairPlan repair;
  if (host.routes_read) {
    PlanRoutes(false, wanted.routes, host.routes4, owned_route, &repair.batch4);
    PlanRoutes(true, wanted.routes, host.routes6, owned_route, &repair.batch6);
  }
  if (host.rules_read) {
    PlanRules(false, wanted.rules, host.rules4, owned_rule, held_pieces, &repair, &repair.batch4);
    PlanRules(true, wanted.rules, host.rules6, owned_rule, held_pieces, &repair, &repair.batch6);
  }
  repair.restore4 = PlanFirewall(wanted.firewall4, host.firewall4, held_pieces, &repair);
  repair.restore6 = PlanFirewall(wanted.firewall6, host.firewall6, held_pieces, &repair);
  return repair;
}
