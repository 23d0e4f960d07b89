#include "approuting/app_routing_commands.h"

#include <algorithm>

#include "approuting/markers.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"

namespace {

// The table's fallback stays when the route via the TUN device goes with
// the device (the engine died): the rule lookup then ends here instead of
// falling through to the main table and the physical path.
constexpr const char* kFallbackMetric = "4096";

const char* AppRoutingTable(const std::string& mode) {
  if (mode == "bypassSelected") return kBypassTable;
  if (mode == "vpnOnlySelected") return kTunnelOnlyTable;
  return nullptr;
}

// iptables lists a cgroup path holding a slash in double quotes
// (--path "user.slice/app.slice/zelmo-vpn-app-routing") and accepts it back
// unquoted. Drop the quotes only when they are the only two in the rule
// and enclose exactly the word after "--path "; any other quote keeps the
// line out of the shell.
std::string UnquoteCgroupPath(const std::string& rule) {
  if (std::count(rule.begin(), rule.end(), '"') != 2) return rule;
  const std::string option = "--path \"";
  size_t at = rule.find(option);
  while (at != std::string::npos && at > 0 && rule[at - 1] != ' ') at = rule.find(option, at + 1);
  if (at == std::string::npos) return rule;
  const size_t open_quote = at + option.size() - 1;
  const size_t close_quote = rule.find('"', open_quote + 1);
  if (close_quote == std::string::npos) return rule;
  const bool whole_word = close_quote + 1 == rule.size() || rule[close_quote + 1] == ' ';
  const std::string word = rule.substr(open_quote + 1, close_quote - open_quote - 1);
  if (!whole_word || word.empty() || word.find_first_of(" \\") != std::string::npos) return rule;
  return rule.substr(0, open_quote) + word + rule.substr(close_quote + 1);
}

}  // namespace

std::vector<OwnedRoute> AppRoutingOwnedRoutes(const AppRoutingFamily& family,
                                            const std::string& mode, const std::string& tun_name,
                                            const DefaultRouteInfo& default_route) {
  const char* table = AppRoutingTable(mode);
  if (table == nullptr) return {};
  const bool ipv6 = std::string(family.ip) == kAppRoutingIpv6.ip;
  std::vector<OwnedRoute> routes;
  OwnedRoute route;
  route.ipv6 = ipv6;
  route.destination = "default";
  route.table = table;
  if (mode == "vpnOnlySelected" && !tun_name.empty()) {
    route.dev = tun_name;
    routes.push_back(route);
  } else if (mode == "bypassSelected" && IsUsableDefaultRoute(default_route)) {
    route.gateway = default_route.gateway;
    route.dev = default_route.dev;
    routes.push_back(route);
  }
  OwnedRoute fallback;
  fallback.ipv6 = ipv6;
  fallback.type = "unreachable";
  fallback.destination = "default";
  fallback.metric = kFallbackMetric;
  fallback.table = table;
  routes.push_back(fallback);
  return routes;
}

OwnedRule AppRoutingOwnedRule(const AppRoutingFamily& family, const std::string& mode) {
  const char* table = AppRoutingTable(mode);
  if (table == nullptr) return {};
  return {std::string(family.ip) == kAppRoutingIpv6.ip, kAppRulePriority, kAppPacketMark, table,
          ""};
}

bool IsAppRoutingTable(const std::string& table) {
  return table == kBypassTable || table == kTunnelOnlyTable;
}

std::string AppMarkRule(const std::string& match_path) {
  return "-m cgroup --path " + match_path + " -j MARK --set-mark " + kAppPacketMark;
}

bool IsAppMarkRule(const std::string& listed_rule) {
  return listed_rule.find(kAppCgroupName) != std::string::npos &&
         listed_rule.find("-m cgroup") != std::string::npos &&
         listed_rule.find("-j MARK") != std::string::npos;
}

std::vector<std::string> AppRoutingRouteCommands(const AppRoutingFamily& family,
                                                 const std::string& mode,
                                                 const std::string& tun_name,
                                                 const DefaultRouteInfo& default_route) {
  const std::vector<OwnedRoute> routes = AppRoutingOwnedRoutes(family, mode, tun_name, default_route);
  if (routes.empty()) return {};
  // The route commands keep their diagnostics visible on the helper's
  // standard error; their outcome is not examined. The rule goes in between
  // the table's route and its fallback.
  std::vector<std::string> commands;
  for (size_t i = 0; i + 1 < routes.size(); ++i) commands.push_back(RouteCommand("replace", routes[i]));
  commands.push_back(AppRoutingRuleCommand(family, mode));
  commands.push_back(RouteCommand("replace", routes.back()));
  return commands;
}

std::string AppRoutingRuleCommand(const AppRoutingFamily& family, const std::string& mode) {
  const OwnedRule rule = AppRoutingOwnedRule(family, mode);
  if (rule.table.empty()) return {};
  // The rule keeps priority 1066 for table 1067 too.
  return std::string(family.ip) + " rule add " + OwnedRuleText(rule) + kQuietSuffix;
}

std::string AppMarkRuleCommand(const AppRoutingFamily& family, const std::string& action,
                               const std::string& match_path) {
  return std::string(family.firewall) + " -t mangle " + action + " OUTPUT " + AppMarkRule(match_path);
}

std::vector<std::string> AppRoutingRuleDeleteCommands(const AppRoutingFamily& family) {
  // One delete per table: of several identical rules, each call removes one.
  std::vector<std::string> commands;
  for (const char* table : {kBypassTable, kTunnelOnlyTable}) {
    commands.push_back(std::string(family.ip) + " rule del fwmark " + kAppPacketMark + " lookup " +
                       table + kQuietSuffix);
  }
  return commands;
}

std::vector<std::string> AppRoutingTableFlushCommands(const AppRoutingFamily& family) {
  std::vector<std::string> commands;
  for (const char* table : {kBypassTable, kTunnelOnlyTable}) {
    commands.push_back(std::string(family.ip) + " route flush table " + table + kQuietSuffix);
  }
  return commands;
}

std::vector<std::string> StaleMarkRuleDeleteCommands(const AppRoutingFamily& family,
                                                     const std::string& listing) {
  std::vector<std::string> commands;
  for (const std::string& listed : ListedChainRules(listing, "OUTPUT")) {
    if (!IsAppMarkRule(listed)) continue;
    // Screen: the listed rule goes back into a shell command as it stands.
    const std::string rule = UnquoteCgroupPath(listed);
    if (!IsSafeListedRule(rule)) continue;
    commands.push_back(std::string(family.firewall) + " -t mangle -D OUTPUT " + rule + kQuietSuffix);
  }
  return commands;
}

std::optional<MarkedTraffic> AppRoutingMarkedTraffic(const AppRoutingFamily& family,
                                                     const std::string& mode,
                                                     const std::string& tun_name,
                                                     const DefaultRouteInfo& default_route) {
  if (mode == "vpnOnlySelected") {
    return MarkedTraffic{family.firewall, kAppPacketMark, tun_name, kAppRoutingMarker, ""};
  }
  if (mode == "bypassSelected" && IsUsableDefaultRoute(default_route)) {
    return MarkedTraffic{family.firewall, kAppPacketMark, default_route.dev, kAppRoutingMarker,
                         ""};
  }
  return std::nullopt;
}
