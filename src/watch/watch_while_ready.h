#pragma once

// The run's wait after READY: it sleeps until a stop signal, a routing
// notification or one of the caller's descriptors wakes it, and then looks
// at the host and keeps what the run wants there (keep_in_place.h).
// Nothing ticks while nothing changes.

#include <cstdint>
#include <vector>

#include "tunnel_plan.h"
#include "watch/watch_state.h"

// A further source of change notifications: when the descriptor is
// readable the loop calls drain with it (which must read what waits and
// tell whether anything of the helper's concern changed), and then looks
// at the firewall, after a short quiet time.
struct ExtraWatch {
  int fd;
  bool (*drain)(int fd);
  // It reports every firewall change, so the firewall pieces need no
  // periodic look.
  bool firewall = false;
};

enum class WatchEnd {
  kStop,    // a stop signal came
  kSwitch,  // a switch of servers was asked for (lifecycle/stop_signal.h)
};

// Returns once a stop signal came, or once more switches were asked for
// than `switches_seen` counts (it then counts them all: several requests
// make one switch). The plan then describes what is installed now. The
// caller keeps `state` (StartWatchState right after READY) across the
// waits, so a switch in between looks on from where the watch left off.
// The stop's and the switch's wake-ups must be open (OpenSignalWakeups).
WatchEnd WatchWhileReady(TunnelPlan* plan, WatchState* state, const std::vector<ExtraWatch>& extra,
                         int* switches_seen);

// A change is a burst of messages: acted on once the burst has been quiet
// for a moment, or after a bound from its first message if it never is.
// Times are monotonic milliseconds.
inline constexpr int64_t kBurstQuietMs = 50;
inline constexpr int64_t kBurstLimitMs = 1000;
// The quiet time when only the firewall or the policy rules changed.
inline constexpr int64_t kPiecesQuietMs = 10;
int64_t BurstActionTime(int64_t first_message_ms, int64_t last_message_ms);
// The clock of those times (and of KeepInPlace's).
int64_t WatchClockMs();
