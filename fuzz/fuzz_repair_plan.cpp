// Route, rule and firewall listings come from the host, where anyone with
// the capability adds entries. Whatever they hold, a repair may hand the
// tools only lines built from the wanted state, or deletes of listed
// entries made of safe words: no listed text may start another command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "killswitch/firewall_save.h"
#include "killswitch/safe_token.h"
#include "lifecycle/route_listing.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/text_utils.h"
#include "typical_run.h"
#include "watch/owned_pieces.h"
#include "watch/repair_plan.h"
#include "watch/wanted_state.h"

namespace {

bool IsSafeWords(const std::string& line) {
  for (const std::string& word : SplitWords(line)) {
    if (!IsSafeShellToken(word)) return false;
  }
  return line.find_first_of("\n\r\t") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Three listings, separated by a zero byte.
  const size_t first = input.find('\0');
  const size_t second = first == std::string::npos ? std::string::npos : input.find('\0', first + 1);
  const std::string routes = input.substr(0, first);
  const std::string rules = first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
  const std::string firewall = second == std::string::npos ? "" : input.substr(second + 1);

  const TunnelPlan plan = TypicalPlan();
  const NetworkView view = OnEth0();
  const WantedState wanted = WantState(plan, view, true, false);
  HostListings host;
  host.routes_read = host.rules_read = true;
  host.routes4 = ParseRouteListing(routes, false);
  host.rules4 = ParseRuleListing(rules);
  host.firewall4 = ParseFirewallSave(firewall);
  RepairContext context;
  context.owned_route = [&plan, &view](const ListedRoute& route) {
    return IsRemovableRoute(route, plan, view, view.default4);
  };
  context.owned_rule = [&view](const ListedRule& rule, bool ipv6) {
    return IsOwnedRule(rule, ipv6, view.default4);
  };
  const RepairPlan repair = PlanRepair(wanted, host, context);
  for (const std::string& line : repair.batch4) FUZZ_CHECK(IsSafeWords(line));
  for (const std::string& line : repair.restore4) {
    if (line.rfind("-D ", 0) == 0) {
      FUZZ_CHECK(IsSafeListedRule(line.substr(3)));
    } else {
      FUZZ_CHECK(line.find_first_of("\n\r") == std::string::npos);
      for (const std::string& word : SplitWords(line)) {
        FUZZ_CHECK(word.find_first_of("'\"`$;|&") == std::string::npos);
      }
    }
  }
  return 0;
}
