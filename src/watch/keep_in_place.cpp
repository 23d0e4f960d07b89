#include "watch/keep_in_place.h"

#include <algorithm>
#include <string>
#include <vector>

#include "lifecycle/status_line.h"
#include "routing/ipv6_support.h"
#include "routing/tun_routes.h"
#include "watch/apply_repair.h"
#include "watch/follow_network.h"
#include "watch/owned_pieces.h"
#include "watch/piece_outcomes.h"
#include "watch/repair_plan.h"
#include "watch/src_valid_mark_plan.h"
#include "watch/wanted_state.h"

namespace {

int64_t Earliest(int64_t deadline, int64_t candidate) {
  return deadline < 0 ? candidate : std::min(deadline, candidate);
}

// At the first look the tables are as the start left them.
void TakeStartTables(const WantedState& wanted, const HostListings& host, WatchState* state) {
  for (const WantedPiece& piece : wanted.pieces) {
    for (const WantedNftTable& table : piece.nft_tables) {
      const auto listed = host.nft_tables.find(NftTableKey(table));
      if (listed == host.nft_tables.end() || !listed->second.listed) continue;
      state->nft_baselines[NftTableKey(table)] = {table.install_command, listed->second.lines};
    }
  }
}

RepairContext ContextOf(const TunnelPlan& plan, const WantedState& wanted, int64_t now_ms,
                        const WatchState& state) {
  RepairContext context;
  const DefaultRouteInfo icmp_route = state.icmp_table_route;
  const NetworkView view = state.view;
  context.owned_route = [&plan, view, icmp_route](const ListedRoute& route) {
    return IsRemovableRoute(route, plan, view, icmp_route);
  };
  context.owned_rule = [icmp_route](const ListedRule& rule, bool ipv6) {
    return IsOwnedRule(rule, ipv6, icmp_route);
  };
  context.nft_baselines = state.nft_baselines;
  context.held = [&wanted, now_ms, &state](const WantedPiece& piece, const std::set<std::string>& broken) {
    return PieceHeld(piece, wanted, broken, now_ms, state);
  };
  return context;
}

// Pieces waiting for the end of their pause, restores to try again, the
// periodic look where the firewall announces nothing, a lookup to retry.
int64_t NextLook(const WatchState& state, bool has_pieces, int64_t now_ms) {
  int64_t deadline = -1;
  for (const auto& [piece, backoff] : state.backoff) {
    if (backoff.waiting && backoff.wake_ms > now_ms) deadline = Earliest(deadline, backoff.wake_ms);
    if (backoff.failures > 0 && backoff.next_allowed_ms > now_ms) {
      deadline = Earliest(deadline, backoff.next_allowed_ms);
    }
  }
  if (!state.firewall_events && has_pieces) deadline = Earliest(deadline, now_ms + kFirewallCheckPeriodMs);
  if (state.lookup_retry.due_ms >= 0) deadline = Earliest(deadline, state.lookup_retry.due_ms);
  return deadline;
}

}  // namespace

int64_t KeepInPlace(TunnelPlan* plan, WatchState* state, LookKinds kinds, int64_t now_ms) {
  const bool ipv6 = KernelHasIpv6();
  // A retry of the endpoint's lookup reads the routes, to ask only for
  // families with a network.
  const bool ask_endpoint_again = TakeDueLookupRetry(&state->lookup_retry, now_ms);
  if (ask_endpoint_again) kinds.routes = true;
  // A piece found taken during its pause is put back once the pause is
  // over, also by a look that was set off by something else.
  for (const auto& [piece, backoff] : state->backoff) {
    if (backoff.waiting && now_ms >= backoff.wake_ms) kinds.rules = kinds.firewall = true;
  }

  HostListings host;
  std::vector<std::string> lines;
  NetworkView view;
  if (kinds.routes && ReadNetwork(*plan, ipv6, &host, &view)) {
    // What the pieces want depends on the network: a change is followed
    // by a look at everything.
    if (FollowNetwork(host, view, ask_endpoint_again, now_ms, plan, state, &lines) || !state->looked) {
      kinds.rules = kinds.firewall = true;
    }
  }
  WantedState wanted = WantState(*plan, state->view, state->icmp_table_free, ipv6);
  ReadPieces(kinds, wanted, ipv6, &host);
  if (!state->looked) TakeStartTables(wanted, host, state);
  const SrcValidMarkChanges src_valid_mark =
      PlanSrcValidMark(host, !state->looked, &state->raised_src_valid_mark, &wanted);

  const RepairPlan repair = PlanRepair(wanted, host, ContextOf(*plan, wanted, now_ms, *state));
  const RepairOutcome outcome = ApplyRepair(wanted, repair, src_valid_mark, state);
  if (host.routes_read) {
    state->icmp_table_route = wanted.icmp_bypass ? state->view.default4 : DefaultRouteInfo{};
    // The teardown removes the table's route and rule only while they are
    // the run's, and the IPv6 split routes only while they are wanted.
    plan->icmp_bypass = wanted.icmp_bypass;
    plan->split_routes6 = std::any_of(wanted.routes.begin(), wanted.routes.end(),
                                      [](const OwnedRoute& route) {
                                        return route.ipv6 && IsSplitRoute(KeyOfOwnedRoute(route));
                                      });
  }
  for (const std::string& line : lines) PrintStatusLine(line);
  NoteOutcomes(wanted, repair, outcome, kinds.rules && kinds.firewall, now_ms, state);
  return NextLook(*state, !wanted.pieces.empty(), now_ms);
}
