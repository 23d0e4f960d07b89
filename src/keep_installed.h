#pragma once

// Keeping what the run installed while READY: the kill switch's chains and
// jumps, the policy rules and the mark and NAT rules. Something else on the
// host (a firewall reload, a network manager that removes rules it does not
// own) may take them away; the watch puts them back as they were.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "tunnel_plan.h"

// Per piece: how often it had to be put back lately, so a piece that keeps
// disappearing is restored with a growing pause rather than in a busy loop.
struct PieceBackoff {
  int64_t next_allowed_ms = 0;
  int64_t pause_ms = 0;
  int64_t last_restored_ms = 0;
  int failures = 0;  // restores that failed in a row
};

struct KeepInstalledState {
  std::map<std::string, PieceBackoff> backoff;
  // Set by the caller when it receives the firewall's change notifications
  // (lifecycle/firewall_events.h); without them the firewall pieces are
  // checked periodically.
  bool firewall_events = false;
  // Devices whose src_valid_mark the helper raised, as the last check saw
  // their markers (routing/src_valid_mark.h).
  std::set<std::string> src_valid_mark_markers;
};

// How often the firewall pieces are read back when no notification says
// they changed.
inline constexpr int64_t kFirewallCheckPeriodMs = 2000;

// Records a restore at now_ms: the next one of the same piece waits a
// second, then twice as long each time it disappears again, up to 30 s (up
// to a second for the kill switch, which is never left away long). A piece
// that stayed in place for a minute starts over with no pause.
void NoteRestored(PieceBackoff* backoff, int64_t now_ms, bool kill_switch);
// Records a restore that failed at now_ms, most often because something
// else was changing the same table at that moment: the next try comes
// after 50 ms, then twice as long each time up to the same limits.
void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, bool kill_switch);

// Checks every piece the plan says is installed and puts back what is gone
// or out of place, one "INFO: restored ..." line per piece put back. `now_ms`
// is a monotonic clock reading. Returns the monotonic time at which it wants
// to be called again even without an event (a piece held back by its pause,
// or a periodic firewall check where the firewall sends no notifications),
// or -1 when only events need to wake it.
int64_t KeepInstalledPieces(const TunnelPlan& plan, KeepInstalledState* state, int64_t now_ms);
