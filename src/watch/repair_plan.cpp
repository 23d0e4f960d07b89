#include "watch/repair_plan.h"

#include "killswitch/rule_listing.h"
#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"
#include "watch/owned_pieces.h"

namespace {

struct Pass {
  const WantedState& wanted;
  const HostListings& host;
  const RepairContext& context;
  RepairPlan* repair;
};

// Records a piece out of place; true when it may be put back now. Whether
// it waits is asked once per piece, given the pieces found out of place so
// far.
bool Repairable(const Pass& pass, const std::string& piece) {
  RepairPlan& repair = *pass.repair;
  if (repair.broken.count(piece) != 0) return repair.held.count(piece) == 0;
  repair.broken.insert(piece);
  const WantedPiece* wanted = FindPiece(pass.wanted, piece);
  if (wanted == nullptr || !pass.context.held || !pass.context.held(*wanted, repair.broken)) return true;
  repair.held.insert(piece);
  return false;
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

void PlanRoutes(const Pass& pass, bool ipv6, std::vector<std::string>* batch) {
  const std::vector<ListedRoute>& listed = ipv6 ? pass.host.routes6 : pass.host.routes4;
  std::map<RouteKey, const ListedRoute*> by_key;
  for (const ListedRoute& route : listed) {
    if (route.next_hops.empty()) by_key.emplace(route.key, &route);
  }
  std::set<RouteKey> wanted_keys;
  // Replaced where the destination is the same: a route that still leads
  // the old way is turned into the new one in place.
  for (const OwnedRoute& owned : pass.wanted.routes) {
    if (owned.ipv6 != ipv6) continue;
    const RouteKey key = KeyOfOwnedRoute(owned);
    wanted_keys.insert(key);
    const auto found = by_key.find(key);
    if (found != by_key.end() && ListedRouteIs(*found->second, owned)) continue;
    batch->push_back(RouteBatchLine("replace", owned));
  }
  for (const ListedRoute& route : listed) {
    if (route.key.ipv6 != ipv6 || wanted_keys.count(route.key) != 0 || !route.next_hops.empty() ||
        !pass.context.owned_route(route)) {
      continue;
    }
    std::string line;
    if (DeleteLineOf(route, &line)) batch->push_back(line);
  }
}

void PlanRules(const Pass& pass, bool ipv6, std::vector<std::string>* batch) {
  const std::vector<ListedRule>& listed = ipv6 ? pass.host.rules6 : pass.host.rules4;
  std::vector<const ListedRule*> unmatched;
  for (const ListedRule& rule : listed) {
    if (IsOwnedRuleForm(rule, ipv6)) unmatched.push_back(&rule);
  }
  for (const WantedPiece& piece : pass.wanted.pieces) {
    for (const OwnedRule& want : piece.rules) {
      if (want.ipv6 != ipv6) continue;
      bool found = false;
      for (auto it = unmatched.begin(); it != unmatched.end(); ++it) {
        if (!ListedRuleIs(**it, want)) continue;
        unmatched.erase(it);
        found = true;
        break;
      }
      if (!found && Repairable(pass, piece.name)) batch->push_back(RuleBatchLine("add", want));
    }
  }
  // What is left over is the helper's but not wanted now, or a second copy.
  for (const ListedRule* rule : unmatched) {
    if (!pass.context.owned_rule(*rule, ipv6)) continue;
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

// A rule of a shared chain and the piece it belongs to.
struct SharedRule {
  const WantedChainRule* rule;
  const std::string* piece;
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

void PlanChain(const Pass& pass, const WantedChain& want, const std::string& piece,
               const FirewallListing& listing, TableOps* ops) {
  const std::vector<std::string>& listed = ListedRules(listing, want.table, want.chain);
  bool in_place = ListsChain(listing, want.table, want.chain) && listed.size() == want.rules.size();
  for (size_t i = 0; in_place && i < listed.size(); ++i) {
    in_place = SameFirewallRule(listed[i], want.rules[i]);
  }
  if (in_place || !Repairable(pass, piece)) return;
  // Made, or emptied and filled, within the transaction: never seen half.
  ops->chains.push_back(":" + want.chain + " - [0:0]");
  for (const std::string& rule : want.rules) ops->chains.push_back("-A " + want.chain + " " + rule);
}

// The helper's rules of a built-in chain: those that stand first at their
// places, each of the others once, in any order (none of them depends on
// another's place), and no other rule of the helper's.
void PlanSharedChain(const Pass& pass, const std::string& table, const std::string& chain,
                     const std::vector<SharedRule>& wanted, const FirewallListing& listing,
                     TableOps* ops) {
  const std::vector<std::string>& listed = ListedRules(listing, table, chain);
  std::vector<std::string> owned;
  for (const std::string& rule : listed) {
    if (IsOwnedChainRule(table, chain, rule)) owned.push_back(rule);
  }
  std::set<std::string> broken;
  for (size_t i = 0; i < wanted.size(); ++i) {
    size_t copies = 0;
    for (const std::string& rule : owned) copies += SameFirewallRule(rule, wanted[i].rule->rule) ? 1 : 0;
    const bool placed = !wanted[i].rule->first ||
                        (i < listed.size() && SameFirewallRule(listed[i], wanted[i].rule->rule));
    if (copies != 1 || !placed) broken.insert(*wanted[i].piece);
  }
  bool unwanted = false;
  for (const std::string& rule : owned) {
    bool is_wanted = false;
    for (const SharedRule& want : wanted) is_wanted |= SameFirewallRule(rule, want.rule->rule);
    unwanted |= !is_wanted;
  }
  if (broken.empty() && !unwanted) return;
  bool all_held = !unwanted;
  for (const std::string& piece : broken) all_held &= !Repairable(pass, piece);
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
    if (wanted[i].rule->first) ops->rules.push_back("-I " + chain + " 1 " + wanted[i].rule->rule);
  }
  for (const SharedRule& want : wanted) {
    if (!want.rule->first) ops->rules.push_back("-A " + chain + " " + want.rule->rule);
  }
}

std::vector<std::string> PlanFirewall(const Pass& pass, bool ipv6) {
  const FirewallListing& listing = ipv6 ? pass.host.firewall6 : pass.host.firewall4;
  if (!listing.readable) return {};
  std::map<std::string, TableOps> tables;
  std::set<std::pair<std::string, std::string>> wanted_chains;
  // Built-in chains that hold a wanted rule or one of the helper's.
  std::map<std::pair<std::string, std::string>, std::vector<SharedRule>> shared;
  for (const WantedPiece& piece : pass.wanted.pieces) {
    if (piece.ipv6 != ipv6) continue;
    for (const WantedChain& chain : piece.chains) {
      wanted_chains.insert({chain.table, chain.chain});
      PlanChain(pass, chain, piece.name, listing, &tables[chain.table]);
    }
    for (const WantedChainRule& rule : piece.chain_rules) {
      std::vector<SharedRule>& rules = shared[{rule.table, rule.chain}];
      // Rules that stand first go before the others, in their order.
      auto at = rules.end();
      if (rule.first) {
        at = rules.begin();
        while (at != rules.end() && at->rule->first) ++at;
      }
      rules.insert(at, {&rule, &piece.name});
    }
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
    PlanSharedChain(pass, where.first, where.second, rules, listing, &tables[where.first]);
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

// A table of the helper's own is in place while nft lists it as it did
// right after the helper made it with the command wanted now. Wanted
// otherwise now, it follows the network; listed otherwise, or gone, it was
// taken. Either way it is made again whole.
void PlanNftTables(const Pass& pass) {
  if (!pass.host.nft_read) return;
  for (const WantedPiece& piece : pass.wanted.pieces) {
    for (const WantedNftTable& table : piece.nft_tables) {
      const std::string key = NftTableKey(table);
      const auto listed = pass.host.nft_tables.find(key);
      const auto baseline = pass.context.nft_baselines.find(key);
      const bool in_place = listed != pass.host.nft_tables.end() && listed->second.listed &&
                            baseline != pass.context.nft_baselines.end() &&
                            baseline->second.install_command == table.install_command &&
                            baseline->second.lines == listed->second.lines;
      if (in_place || !Repairable(pass, piece.name)) continue;
      pass.repair->nft_installs.push_back(table);
    }
  }
}

// A setting that reads otherwise is written; one that cannot be read (its
// device is gone) is left alone.
void PlanSettings(const Pass& pass) {
  for (const auto& [path, value] : pass.wanted.settings) {
    const auto read = pass.host.settings.find(path);
    if (read == pass.host.settings.end() || read->second.empty() || read->second == value) continue;
    pass.repair->setting_writes[path] = value;
  }
}

}  // namespace

std::string NftTableKey(const WantedNftTable& table) { return table.family + " " + table.name; }

RepairPlan PlanRepair(const WantedState& wanted, const HostListings& host,
                      const RepairContext& context) {
  RepairPlan repair;
  const Pass pass{wanted, host, context, &repair};
  // The tables first: a piece that covers another (the guard, the chain
  // whose promise it keeps) is judged before the piece it covers.
  PlanNftTables(pass);
  if (host.routes_read) {
    PlanRoutes(pass, false, &repair.batch4);
    PlanRoutes(pass, true, &repair.batch6);
  }
  if (host.rules_read) {
    PlanRules(pass, false, &repair.batch4);
    PlanRules(pass, true, &repair.batch6);
  }
  repair.restore4 = PlanFirewall(pass, false);
  repair.restore6 = PlanFirewall(pass, true);
  PlanSettings(pass);
  for (const WantedPiece& piece : wanted.pieces) {
    if (repair.broken.count(piece.name) != 0 && repair.held.count(piece.name) == 0 &&
        piece.after_made) {
      repair.after_made.insert(piece.name);
    }
  }
  return repair;
}
