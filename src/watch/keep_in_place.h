#pragma once

// One look of the watch while READY: read back what is installed (one
// listing per kind), compute what should be installed for the host as it
// now is, and apply only the difference. An event only says which kinds to
// read; what to do comes from the comparison, so a change nobody announced
// (routes the kernel drops with a link) is repaired like one that was.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "routing/default_route.h"
#include "tunnel_plan.h"
#include "watch/network_view.h"

// Which listings a look reads; the others are taken as they were.
struct LookKinds {
  bool routes = false;  // and with them the network: default routes, TUN device
  bool rules = false;
  bool firewall = false;
};

// Per piece: how often it had to be put back lately, so a piece that keeps
// disappearing is restored with a growing pause rather than in a busy loop.
struct PieceBackoff {
  int64_t next_allowed_ms = 0;
  int64_t pause_ms = 0;
  int64_t last_restored_ms = 0;
  int failures = 0;  // restores that failed in a row
  int restores = 0;  // restores since it last stayed in place for a while
  // Found taken while its pause ran: put back once the pause is over,
  // whatever the looks in between read.
  bool waiting = false;
};

struct WatchState {
  // Set by the caller when it receives the firewall's change notifications
  // (lifecycle/firewall_events.h); without them the firewall is read
  // periodically.
  bool firewall_events = false;
  // The kill switch's guard stands beside the chain (nft tables are had),
  // and the last look at it found it in place.
  bool kill_switch_guarded = false;
  bool guard_in_place = true;
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
  // Each piece's wanted state at the last look: a piece found gone whose
  // wanted state is unchanged was taken away; one whose wanted state
  // changed follows the network.
  std::map<std::string, std::string> wanted_pieces;
  std::set<std::string> fights_told;
  // Per table of the helper's own: the script it was last made from and
  // how nft listed it right afterwards. nft lists a table in its own
  // words; a listing that differs from that one was changed by someone.
  struct NftBaseline {
    std::string install_command;
    std::string listing;
  };
  std::map<std::string, NftBaseline> nft_baselines;
  // When the endpoint's name is asked again after a late lookup found
  // nothing (a resolver too slow or not answering yet), -1 while no retry
  // is due, and the pause that led there.
  int64_t lookup_retry_ms = -1;
  int64_t lookup_retry_pause_ms = 0;
};

// The state right after READY: the network as the start recorded it.
WatchState StartWatchState(const TunnelPlan& plan);

// How often the firewall is read when no notification says it changed.
inline constexpr int64_t kFirewallCheckPeriodMs = 2000;

// Records a restore at now_ms: the next one of the same piece waits a
// second, then twice as long each time it disappears again, up to 30 s (up
// to `kill_switch_pause_ms` for the kill switch, which is never left away
// long). A piece that stayed in place for a minute starts over with no
// pause.
void NoteRestored(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms);
// Records a restore that failed at now_ms, most often because something
// else was changing the same table at that moment: the next try comes
// after 50 ms, then twice as long each time up to the same limits.
void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms);
// After this many restores without a calm minute, another program is
// taken to be fighting over the piece, and the client is told once.
inline constexpr int kFightRestores = 3;

// Looks at the host, brings it to what the plan wants and updates the plan
// with the network as it is now (so a teardown at any later moment removes
// the pieces as they are then). One "INFO: " line per change of the
// network and per piece put back. Returns the monotonic time at which it
// wants to look again without an event, or -1.
int64_t KeepInPlace(TunnelPlan* plan, WatchState* state, LookKinds kinds, int64_t now_ms);
