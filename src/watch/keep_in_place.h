#pragma once

// One look of the watch while READY: read back what is installed, compute
// what should be installed for the host as it now is, and apply only the
// difference. An event only says which kinds to read; what to do comes from
// the comparison, so a change nobody announced (routes the kernel drops
// with a link) is repaired like one that was.

#include <cstdint>

#include "tunnel_plan.h"
#include "watch/read_host.h"
#include "watch/watch_state.h"

// How often the firewall is read when no notification says it changed.
inline constexpr int64_t kFirewallCheckPeriodMs = 2000;

// Looks at the host, brings it to what the plan wants and updates the plan
// with the network as it is now (so a teardown at any later moment removes
// the pieces as they are then). One "INFO: " line per change of the
// network and per piece put back. Returns the monotonic time at which it
// wants to look again without an event, or -1.
int64_t KeepInPlace(TunnelPlan* plan, WatchState* state, LookKinds kinds, int64_t now_ms);
