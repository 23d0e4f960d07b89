#pragma once

// The difference between what the host should hold and what it lists, as
// the commands' input that makes the one the other: lines for `ip -batch`
// per family (routes and policy rules) and for `iptables-restore --noflush`
// per family (one transaction per table). Only what is missing is added and
// only the helper's own entries that should not be there are removed; a
// firewall rule is deleted by what it says, never by a position read
// earlier, and a chain is rewritten within one transaction, so no kill
// switch or guard is ever without effect while it is repaired.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "killswitch/firewall_save.h"
#include "lifecycle/route_listing.h"
#include "watch/wanted_state.h"

struct HostListings {
  bool routes_read = false;
  std::vector<ListedRoute> routes4;
  std::vector<ListedRoute> routes6;
  bool rules_read = false;
  std::vector<ListedRule> rules4;
  std::vector<ListedRule> rules6;
  // Not readable where the tool could not list it or it was not read.
  FirewallListing firewall4;
  FirewallListing firewall6;
};

struct RepairPlan {
  std::vector<std::string> batch4;
  std::vector<std::string> batch6;
  std::vector<std::string> restore4;
  std::vector<std::string> restore6;
  // Pieces (rules and firewall pieces) found missing or out of place; of
  // them, those held back by the caller and so left as they are for now.
  std::set<std::string> broken;
  std::set<std::string> held;
};

// `owned_route` and `owned_rule` tell the listed entries the helper may
// remove (owned_pieces.h); the pieces in `held_pieces` are left as they are.
RepairPlan PlanRepair(const WantedState& wanted, const HostListings& host,
                      const std::function<bool(const ListedRoute&)>& owned_route,
                      const std::function<bool(const ListedRule&, bool ipv6)>& owned_rule,
                      const std::set<std::string>& held_pieces);
