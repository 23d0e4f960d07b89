#pragma once

// What the watch remembers from one look to the next.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "routing/default_route.h"
#include "tunnel_plan.h"
#include "watch/late_lookup.h"
#include "watch/network_view.h"
#include "watch/pacing.h"
#include "watch/repair_plan.h"

struct WatchState {
  // Set by the caller when it receives the firewall's change notifications
  // (lifecycle/firewall_events.h); without them the firewall is read
  // periodically.
  bool firewall_events = false;
  bool looked = false;
  NetworkView view;
  // What table 100 holds of the helper's (empty fields: nothing), and
  // whether the table was free for the ICMP bypass when the routes were
  // last read: a look that reads no routes takes it from there.
  DefaultRouteInfo icmp_table_route;
  bool icmp_table_free = true;
  bool icmp_table_foreign_told = false;
  // Devices whose src_valid_mark the helper turned from 0 to 1.
  std::set<std::string> raised_src_valid_mark;
  std::map<std::string, PieceBackoff> backoff;
  // Each piece's wanted state at the last look (wanted_state.h: PieceText).
  std::map<std::string, std::string> wanted_pieces;
  std::set<std::string> fights_told;
  // Per table of the helper's own ("FAMILY NAME"), how it was made last.
  std::map<std::string, NftBaseline> nft_baselines;
  LookupRetry lookup_retry;
  // Routes around the tunnel the client was told of (follow_network.h).
  std::set<std::string> routes_around_told;
};

// The state right after READY: the network as the start recorded it, and
// the TUN device's addresses as they are now.
WatchState StartWatchState(const TunnelPlan& plan);
