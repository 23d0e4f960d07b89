#include "watch/keep_in_place.h"

#include <algorithm>

#include "approuting/cgroup_location.h"
#include "killswitch/firewall_save.h"
#include "dns/dns_redirect.h"
#include "killswitch/guard_devices.h"
#include "lifecycle/route_listing.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"
#include "lifecycle/status_line.h"
#include "lifecycle/text_utils.h"
#include "routing/endpoint.h"
#include "routing/icmp_bypass.h"
#include "routing/ipv6_support.h"
#include "routing/src_valid_mark.h"
#include "watch/owned_pieces.h"
#include "watch/repair_plan.h"
#include "watch/wanted_state.h"

// Screens: every line a repair writes comes from the wanted state, built
// from the plan's screened values and the helper's own texts, or, for a
// delete, from the listing's own entry, screened in repair_plan.cpp.

namespace {

constexpr int64_t kFirstPauseMs = 1000;
constexpr int64_t kLongestPauseMs = 30000;
constexpr int64_t kKillSwitchLongestPauseMs = 1000;
constexpr int64_t kCalmMs = 60000;
constexpr int64_t kFirstRetryMs = 50;
constexpr int kLateLookupMs = 1000;
// A late lookup that found nothing is asked again after this pause,
// doubling up to the longest.
constexpr int64_t kFirstLookupRetryMs = 2000;
constexpr int64_t kLongestLookupRetryMs = 60000;

const char* kRoutes4 = "ip -4 route show table all 2>/dev/null";
const char* kRoutes6 = "ip -6 route show table all 2>/dev/null";
const char* kRules4 = "ip -4 rule show 2>/dev/null";
const char* kRules6 = "ip -6 rule show 2>/dev/null";

int64_t Earliest(int64_t deadline, int64_t candidate) {
  return deadline < 0 ? candidate : std::min(deadline, candidate);
}

constexpr const char* kGuardPiece = "kill switch guard";

// The kill switch's pieces are never left away long: the guard itself,
// which alone holds forwarded traffic, and the chain and jump unless the
// guard keeps their promise meanwhile; then a program that fights over
// OUTPUT's first place is answered as slowly as any other.
int64_t LongestPause(const std::string& piece, const WatchState& state) {
  if (piece.rfind("kill switch", 0) != 0) return kLongestPauseMs;
  const bool guard_holds = state.kill_switch_guarded && state.guard_in_place;
  return piece == kGuardPiece || !guard_holds ? kKillSwitchLongestPauseMs : kLongestPauseMs;
}

bool ReadRoutes(bool ipv6, std::vector<ListedRoute>* routes) {
  std::string text;
  if (!ReadListing(ipv6 ? kRoutes6 : kRoutes4, &text)) return false;
  *routes = ParseRouteListing(text, ipv6);
  return true;
}

bool ReadRules(bool ipv6, std::vector<ListedRule>* rules) {
  std::string text;
  if (!ReadListing(ipv6 ? kRules6 : kRules4, &text)) return false;
  *rules = ParseRuleListing(text);
  return true;
}

FirewallListing ReadFirewall(const std::string& tool) {
  std::string text;
  if (!ReadListing(FirewallSaveCommand(tool), &text)) return {};
  return ParseFirewallSave(text);
}

// As the start prints them.
std::string DefaultLine(bool ipv6, const DefaultRouteInfo& route) {
  if (ipv6) return Default6StatusLine(route);
  return "INFO: default4 via=" + route.gateway + " dev=" + route.dev;
}

enum class LateLookup {
  kNotAsked,
  kAdded,       // addresses of a family wanted came
  kAnswered,    // addresses came, none of a family wanted
  kUnanswered,  // nothing within the bound, or the name does not resolve (yet)
};

// A start without a network may have found no address for the endpoint,
// or none of a family (the resolver leaves out a family the host has no
// address of): a network of that family gets a second try.
LateLookup ResolveMissingEndpoint(bool want4, bool want6, TunnelPlan* plan) {
  const bool need4 = want4 && plan->endpoint.ipv4.empty();
  const bool need6 = want6 && plan->endpoint.ipv6.empty();
  if (plan->endpoint_host.empty() || (!need4 && !need6)) return LateLookup::kNotAsked;
  // Bounded, and ended by a stop: a resolver that never answers must not
  // hold the watch, or the teardown after it.
  const ResolvedAddresses fresh = ResolveHostAddressesWithin(plan->endpoint_host, kLateLookupMs);
  if (fresh.ipv4.empty() && fresh.ipv6.empty()) return LateLookup::kUnanswered;
  bool added = false;
  if (need4 && !fresh.ipv4.empty()) {
    plan->endpoint.ipv4 = fresh.ipv4;
    added = true;
  }
  if (need6 && !fresh.ipv6.empty()) {
    plan->endpoint.ipv6 = fresh.ipv6;
    added = true;
  }
  if (!added) return LateLookup::kAnswered;
  PrintStatusLine("INFO: endpoint=" + plan->endpoint_host + " bypass4=[" +
                  JoinList(plan->endpoint.ipv4) + "] bypass6=[" + JoinList(plan->endpoint.ipv6) +
                  "]");
  return LateLookup::kAdded;
}

// A late lookup that found nothing is asked again after a growing pause,
// for as long as a family with a network lacks the endpoint's addresses;
// one that found an address needs no other.
void PlanLookupRetry(LateLookup lookup, const TunnelPlan& plan, int64_t now_ms,
                     WatchState* state) {
  const bool missing =
      (IsUsableDefaultRoute(plan.default4) && plan.endpoint.ipv4.empty()) ||
      (IsUsableDefaultRoute(plan.default6) && plan.endpoint.ipv6.empty());
  if (lookup == LateLookup::kUnanswered) {
    state->lookup_retry_pause_ms =
        std::min(std::max(state->lookup_retry_pause_ms * 2, kFirstLookupRetryMs),
                 kLongestLookupRetryMs);
    state->lookup_retry_ms = now_ms + state->lookup_retry_pause_ms;
  } else if (lookup != LateLookup::kNotAsked || !missing) {
    state->lookup_retry_ms = -1;
    state->lookup_retry_pause_ms = 0;
  }
}

// The network as just read, against the view of the last look: one line
// per change, and the plan follows; a network that came, or a retry that
// is due, asks for the endpoint's missing addresses. True when anything
// the wanted state depends on changed. `tun_back` is set when the device
// came (back).
bool FollowNetwork(const NetworkView& now, bool ask_endpoint_again, int64_t now_ms,
                   TunnelPlan* plan, WatchState* state, bool* tun_back) {
  const NetworkView before = state->view;
  const bool moved4 = !SameDefaultRoute(before.default4, now.default4);
  const bool moved6 = !SameDefaultRoute(before.default6, now.default6);
  if (moved4) PrintStatusLine(DefaultLine(false, now.default4));
  if (moved6) PrintStatusLine(DefaultLine(true, now.default6));
  // The device is judged by its index: one deleted and made again in one
  // burst is a new device without the routes of the old.
  const bool tun_changed = before.tun_ifindex != now.tun_ifindex;
  if (tun_changed && before.tun_ifindex != 0) {
    PrintStatusLine("INFO: tun device " + plan->tun_name + " is gone");
  }
  *tun_back = tun_changed && now.tun_ifindex != 0;
  state->view = now;
  plan->default4 = now.default4;
  plan->default6 = now.default6;
  LateLookup lookup = LateLookup::kNotAsked;
  if (moved4 || moved6 || ask_endpoint_again) {
    lookup =
        ResolveMissingEndpoint((moved4 || ask_endpoint_again) && IsUsableDefaultRoute(now.default4),
                               (moved6 || ask_endpoint_again) && IsUsableDefaultRoute(now.default6),
                               plan);
    PlanLookupRetry(lookup, *plan, now_ms, state);
  }
  return moved4 || moved6 || tun_changed || lookup == LateLookup::kAdded;
}

// Table 100 is the bypass's while it holds nothing but the route the
// bypass put there last. A route that merely equals the one it would put
// there now (the main default moved onto a second uplink that the user
// keeps in table 100) is another owner's.
bool IsIcmpTableFree(const std::vector<ListedRoute>& routes4, const DefaultRouteInfo& ours) {
  for (const ListedRoute& route : routes4) {
    if (route.key.table == "100" && !IsIcmpTableRoute(route, ours)) return false;
  }
  return true;
}

// Each piece's wanted state as one text.
std::map<std::string, std::string> PiecesOf(const WantedState& wanted) {
  std::map<std::string, std::string> pieces;
  for (const WantedRule& rule : wanted.rules) pieces[rule.piece] += OwnedRuleText(rule.owned) + "\n";
  for (const WantedNftTable& table : wanted.nft_tables) pieces[table.piece] += table.install_command;
  for (const WantedFirewall* firewall : {&wanted.firewall4, &wanted.firewall6}) {
    for (const WantedChain& chain : firewall->chains) {
      for (const std::string& rule : chain.rules) pieces[chain.piece] += rule + "\n";
    }
    for (const WantedChainRule& rule : firewall->rules) {
      pieces[rule.piece] += rule.chain + " " + rule.rule + "\n";
    }
  }
  return pieces;
}

std::set<std::string> MarkedDevicesListed(const FirewallListing& firewall4) {
  std::set<std::string> devices;
  for (const std::string& rule : ListedRules(firewall4, "mangle", "PREROUTING")) {
    const std::string device = ListedRuleOption(rule, "-i");
    if (HasCommentMarker(rule, kSrcValidMarkMarker) && !ReadSrcValidMark(device).empty()) {
      devices.insert(device);
    }
  }
  return devices;
}

// One line per piece put back; a piece that keeps being taken away waits
// longer each time, and the client is told once that something fights over it.
void TellRestored(const std::string& piece, WatchState* state, int64_t now_ms) {
  PrintStatusLine("INFO: restored " + piece);
  PieceBackoff& backoff = state->backoff[piece];
  backoff.waiting = false;
  NoteRestored(&backoff, now_ms, LongestPause(piece, *state));
  if (backoff.restores >= kFightRestores && state->fights_told.insert(piece).second) {
    PrintStatusLine("INFO: something else keeps removing or overtaking the " + piece +
                    "; it is put back after a growing pause");
  }
}

// Said once per run of failures; the piece is tried again regardless.
void TellRestoreFailed(const std::string& piece, WatchState* state, int64_t now_ms) {
  PieceBackoff& backoff = state->backoff[piece];
  if (backoff.failures == 0) PrintStatusLine("INFO: could not restore " + piece);
  NoteRestoreFailed(&backoff, now_ms, LongestPause(piece, *state));
}

bool RunLines(const std::vector<std::string>& lines, const std::string& tool) {
  return lines.empty() || RunShellCommand(FeedLinesCommand(lines, tool)) == 0;
}

// "nft list table FAMILY NAME": both fixed texts of the piece. False when
// the table is not there (or nft is not).
bool ListNftTable(const WantedNftTable& table, std::string* listing) {
  return ReadListing("nft list table " + table.family + " " + table.name + " 2>/dev/null", listing);
}

bool ListsLines(const std::string& listing, const std::vector<std::string>& lines) {
  std::vector<std::string> listed;
  for (const std::string& line : SplitLines(listing)) {
    if (!Trim(line).empty()) listed.push_back(Trim(line));
  }
  return listed == lines;
}

// The helper's own nft tables: made again whole where one is gone, was
// changed by someone, or is wanted otherwise now. Reports each one put
// back; adds those held back by their pause to `held`.
void KeepNftTables(const WantedState& wanted, WatchState* state, int64_t now_ms,
                   std::set<std::string>* held) {
  for (const WantedNftTable& table : wanted.nft_tables) {
    std::string listing;
    const bool listed = ListNftTable(table, &listing);
    // A table is known by its family and name together.
    const std::string key = table.family + " " + table.name;
    const auto baseline = state->nft_baselines.find(key);
    const bool known = baseline != state->nft_baselines.end();
    const bool same_command = !known || baseline->second.install_command == table.install_command;
    // In place: listed as its lines say, or as nft listed it right after
    // the helper made it; on the first look, as the start left it.
    const bool in_place = listed && same_command &&
                          (ListsLines(listing, table.lines) ||
                           (known && baseline->second.listing == listing) ||
                           (!known && !state->looked));
    if (table.piece == kGuardPiece) state->guard_in_place = in_place;
    if (in_place) {
      state->nft_baselines[key] = {table.install_command, listing};
      continue;
    }
    // Wanted otherwise now, it follows the network; wanted the same but
    // listed otherwise, or gone, it was taken away.
    const bool taken = same_command;
    PieceBackoff& backoff = state->backoff[table.piece];
    if (taken && now_ms < backoff.next_allowed_ms) {
      held->insert(table.piece);
      continue;
    }
    if (RunShellCommand(table.install_command) != 0 || !ListNftTable(table, &listing)) {
      TellRestoreFailed(table.piece, state, now_ms);
      continue;
    }
    if (table.after_install) table.after_install();
    state->nft_baselines[key] = {table.install_command, listing};
    if (table.piece == kGuardPiece) state->guard_in_place = true;
    if (taken) TellRestored(table.piece, state, now_ms);
  }
}

bool IsFirewallPiece(const WantedState& wanted, const std::string& piece, bool ipv6) {
  const WantedFirewall& firewall = ipv6 ? wanted.firewall6 : wanted.firewall4;
  for (const WantedChain& chain : firewall.chains) {
    if (chain.piece == piece) return true;
  }
  for (const WantedChainRule& rule : firewall.rules) {
    if (rule.piece == piece) return true;
  }
  return false;
}

// Reports the pieces put back (or not) and paces the next restore of each.
void NoteOutcomes(const RepairPlan& repair, const WantedState& wanted, bool ok4, bool ok6,
                  bool rules_ok, const std::map<std::string, std::string>& before,
                  const std::map<std::string, std::string>& now, WatchState* state,
                  int64_t now_ms) {
  for (const std::string& piece : repair.broken) {
    if (repair.held.count(piece) != 0) continue;
    const auto was = before.find(piece);
    const auto is = now.find(piece);
    // A piece whose wanted state changed moved with the network: nothing
    // took it away.
    const bool taken = was != before.end() && is != now.end() && was->second == is->second;
    bool ok = rules_ok;
    if (IsFirewallPiece(wanted, piece, false)) ok = ok4;
    if (IsFirewallPiece(wanted, piece, true)) ok = ok6;
    if (!ok) {
      TellRestoreFailed(piece, state, now_ms);
      continue;
    }
    if (taken) TellRestored(piece, state, now_ms);
  }
}

// Reads what the look needs: the routes, followed by the plan (a change
// of the network widens the look to the rules and the firewall), then the
// rules and the firewall where asked. `tun_back` is set when the device
// came (back).
HostListings ReadHost(bool ipv6, bool ask_endpoint_again, int64_t now_ms, LookKinds* kinds,
                      TunnelPlan* plan, WatchState* state, bool* tun_back) {
  HostListings host;
  if (kinds->routes) {
    // The device's index before and after the listings: a device that went
    // or came meanwhile (an engine restarting it) counts as gone for this
    // look, whose listings may show the old one's routes; the notification
    // of the new one brings the next look.
    const int tun_index = ReadTunIndex(plan->tun_name);
    host.routes_read = ReadRoutes(false, &host.routes4) && (!ipv6 || ReadRoutes(true, &host.routes6));
    if (host.routes_read) {
      const int tun_index_now = ReadTunIndex(plan->tun_name);
      const NetworkView now = ViewOfRoutes(host.routes4, host.routes6, plan->tun_name,
                                           tun_index == tun_index_now ? tun_index_now : 0);
      // What the pieces want depends on the network: a change is followed
      // by a look at everything.
      bool changed = FollowNetwork(now, ask_endpoint_again, now_ms, plan, state, tun_back);
      // The kill switch judges by the uplinks, their networks and the
      // local bridges: they follow the network too.
      if (plan->kill_switch) {
        const std::vector<std::string> uplinks =
            UplinkDevices(host.routes4, host.routes6, *plan, state->icmp_table_route);
        KillSwitchDevices devices =
            KillSwitchDevicesOf(uplinks, ReadBridgeListing(), plan->tun_name);
        AddOnLinkNetworks(host.routes4, host.routes6, &devices);
        changed |= !SameKillSwitchDevices(devices, plan->kill_switch_devices);
        plan->kill_switch_devices = devices;
      }
      if (changed || !state->looked) kinds->rules = kinds->firewall = true;
    }
  }
  if (kinds->rules) {
    host.rules_read = ReadRules(false, &host.rules4) && (!ipv6 || ReadRules(true, &host.rules6));
  }
  if (kinds->firewall) {
    host.firewall4 = ReadFirewall("iptables");
    if (ipv6) host.firewall6 = ReadFirewall("ip6tables");
  }
  return host;
}

struct SrcValidMarkChanges {
  std::set<std::string> release;
  std::set<std::string> raise;
};

// src_valid_mark: raised where marked traffic needs it and it reads 0, its
// marker first; put back to 0 where nothing needs it any more. The markers
// of both join the wanted state.
SrcValidMarkChanges PlanSrcValidMark(const HostListings& host, WatchState* state,
                                     WantedState* wanted) {
  SrcValidMarkChanges changes;
  std::set<std::string> markers;
  if (host.firewall4.readable && !state->looked) {
    state->raised_src_valid_mark = MarkedDevicesListed(host.firewall4);
  }
  for (const std::string& device : state->raised_src_valid_mark) {
    (wanted->marked_devices.count(device) != 0 ? markers : changes.release).insert(device);
  }
  if (host.firewall4.readable) {
    for (const std::string& device : wanted->marked_devices) {
      if (state->raised_src_valid_mark.count(device) == 0 && ReadSrcValidMark(device) == "0") {
        changes.raise.insert(device);
        markers.insert(device);
      }
    }
  } else {
    changes.release.clear();
  }
  WantSrcValidMarkMarkers(markers, wanted);
  return changes;
}

}  // namespace

void NoteRestored(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms) {
  const bool calm = backoff->pause_ms == 0 || now_ms - backoff->last_restored_ms > kCalmMs;
  backoff->pause_ms = calm ? kFirstPauseMs : std::min(backoff->pause_ms * 2, longest_ms);
  backoff->restores = calm ? 1 : backoff->restores + 1;
  backoff->last_restored_ms = now_ms;
  backoff->failures = 0;
  backoff->next_allowed_ms = now_ms + backoff->pause_ms;
}

void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms) {
  const int doublings = std::min(backoff->failures, 10);
  backoff->failures += 1;
  backoff->next_allowed_ms = now_ms + std::min(kFirstRetryMs << doublings, longest_ms);
}

WatchState StartWatchState(const TunnelPlan& plan) {
  WatchState state;
  state.view.default4 = UsableOrAbsent(plan.default4);
  state.view.default6 = UsableOrAbsent(plan.default6);
  state.view.tun_ifindex = plan.tun_ifindex;
  if (plan.icmp_bypass) state.icmp_table_route = plan.default4;
  state.kill_switch_guarded = plan.kill_switch_guard;
  // The start said why it left the ICMP bypass out.
  state.icmp_table_foreign_told = !plan.icmp_bypass;
  return state;
}

int64_t KeepInPlace(TunnelPlan* plan, WatchState* state, LookKinds kinds, int64_t now_ms) {
  const bool ipv6 = KernelHasIpv6();
  // A retry of the endpoint's lookup reads the routes, to ask only for
  // families with a network. Put off by its pause until the look says more,
  // so a look that cannot read the routes does not wake the wait at once.
  const bool ask_endpoint_again = state->lookup_retry_ms >= 0 && now_ms >= state->lookup_retry_ms;
  if (ask_endpoint_again) {
    kinds.routes = true;
    state->lookup_retry_ms = now_ms + state->lookup_retry_pause_ms;
  }
  // A piece found taken during its pause is put back once the pause is
  // over, also by a look that was set off by something else.
  for (const auto& [piece, backoff] : state->backoff) {
    if (backoff.waiting && now_ms >= backoff.next_allowed_ms) kinds.rules = kinds.firewall = true;
  }
  bool tun_back = false;
  const HostListings host = ReadHost(ipv6, ask_endpoint_again, now_ms, &kinds, plan, state, &tun_back);

  // A look at the rules or the firewall alone must not take table 100 for
  // free: it would put the bypass's rule back in front of another owner's
  // routes there.
  if (host.routes_read) {
    state->icmp_table_free = IsIcmpTableFree(host.routes4, state->icmp_table_route);
  }
  const bool icmp_table_free = state->icmp_table_free;
  WantedState wanted = WantState(*plan, state->view, icmp_table_free, ipv6);
  if (host.routes_read && !icmp_table_free && IsUsableDefaultRoute(state->view.default4) &&
      !state->icmp_table_foreign_told) {
    state->icmp_table_foreign_told = true;
    PrintStatusLine("INFO: ICMP bypass not installed; routing table 100 holds routes of another owner");
  }

  const SrcValidMarkChanges src_valid_mark = PlanSrcValidMark(host, state, &wanted);

  std::set<std::string> held;
  for (const auto& [piece, backoff] : state->backoff) {
    if (now_ms < backoff.next_allowed_ms) held.insert(piece);
  }
  const TunnelPlan& current = *plan;
  const DefaultRouteInfo icmp_route = state->icmp_table_route;
  const NetworkView& view = state->view;
  const RepairPlan repair = PlanRepair(
      wanted, host,
      [&current, &view, &icmp_route](const ListedRoute& route) {
        return IsRemovableRoute(route, current, view, icmp_route);
      },
      [&icmp_route](const ListedRule& rule, bool ipv6) {
        return IsOwnedRule(rule, ipv6, icmp_route);
      },
      held);

  // The marker goes last, after the value is back to 0: killed in between,
  // a marker on a device that reads 0 again is harmless.
  for (const std::string& device : src_valid_mark.release) WriteSrcValidMark(device, "0");
  const bool ok4 = RunLines(repair.restore4, "iptables-restore --noflush");
  const bool ok6 = RunLines(repair.restore6, "ip6tables-restore --noflush");
  const bool batch4_ok = RunLines(repair.batch4, "ip -4 -force -batch -");
  const bool batch6_ok = RunLines(repair.batch6, "ip -6 -force -batch -");
  std::set<std::string> held_tables;
  if (kinds.firewall) KeepNftTables(wanted, state, now_ms, &held_tables);
  if (ok4) {
    for (const std::string& device : src_valid_mark.release) {
      state->raised_src_valid_mark.erase(device);
    }
    for (const std::string& device : src_valid_mark.raise) {
      WriteSrcValidMark(device, "1");
      state->raised_src_valid_mark.insert(device);
    }
  }
  if (host.routes_read) {
    state->icmp_table_route = wanted.icmp_bypass ? state->view.default4 : DefaultRouteInfo{};
    // The teardown removes the table's route and rule only while they are
    // the run's.
    plan->icmp_bypass = wanted.icmp_bypass;
  }
  if (tun_back) {
    // A device made again starts with route_localnet 0 again.
    if (plan->dns_route_localnet_raised) RaiseRouteLocalnet(plan->tun_name);
    PrintStatusLine("INFO: tun device " + plan->tun_name + " is back; its routes are installed");
  }

  const std::map<std::string, std::string> pieces = PiecesOf(wanted);
  NoteOutcomes(repair, wanted, ok4, ok6, batch4_ok && batch6_ok,
               state->looked ? state->wanted_pieces : pieces, pieces, state, now_ms);
  state->wanted_pieces = pieces;
  state->looked = true;

  // Pieces held now wait for the end of their pause; a look that read
  // everything a piece can be held by and did not hold it ends its wait.
  // A look that read less (the routes alone, say) leaves the waits as
  // they were, so their wake-up is not lost.
  int64_t deadline = -1;
  for (auto& [piece, backoff] : state->backoff) {
    if (repair.held.count(piece) != 0 || held_tables.count(piece) != 0) {
      backoff.waiting = true;
    } else if (kinds.rules && kinds.firewall) {
      backoff.waiting = false;
    }
    if ((backoff.waiting || backoff.failures > 0) && backoff.next_allowed_ms > now_ms) {
      deadline = Earliest(deadline, backoff.next_allowed_ms);
    }
  }
  if (!state->firewall_events && !pieces.empty()) {
    deadline = Earliest(deadline, now_ms + kFirewallCheckPeriodMs);
  }
  if (state->lookup_retry_ms >= 0) deadline = Earliest(deadline, state->lookup_retry_ms);
  return deadline;
}
