#pragma once

#include <string>

#include "approuting/policy.h"
#include "routing/default_route.h"

// The apply for a start that finds a killed run's app routing (its group,
// recovery/killed_run_traces.h): the same pieces as ApplyAppRoutingPolicy
// in the end, but reached without tearing the killed run's down first.
//
// A socket stays tied to the group it was made in, and the mark rule
// matches the group it was given, not one of the same name made again. So
// the group stays with its members, and so does the mark rule: a selected
// program's open connections keep their policy. Members the new policy
// does not select (nor a selected ancestor among the members) go to the
// group's parent; where the kept ones came from died with the killed run,
// so the teardown hands them to the parent too. Nothing is left unmarked
// or unguarded in between:
//
// - "vpnOnlySelected": the guard is refilled for the new TUN device first,
//   so a marked packet that leaves physically is dropped from then on;
// - the mode's policy rules stay where they stand (the kernel refuses a
//   second copy), its tables' routes are replaced in place; only a table
//   that gets no default route now ("bypassSelected" without that
//   family's route) is flushed first, since a killed run's route there
//   would be kept otherwise;
// - the other mode's rule and table, the way-back rules of another device,
//   the guard where the mode is "bypassSelected", and mark rules of groups
//   elsewhere go once the new pieces stand.
//
// The same checks and messages as the apply. Runs listings and the
// apply's commands, no teardown of the group. A disabled policy does
// nothing: a start without one that finds a killed run's group removes it
// with CleanupAppRoutingPolicy.
bool TakeOverAppRoutingPolicy(const AppRoutingPolicy& policy, const std::string& tun_name,
                              const DefaultRouteInfo& default_route,
                              const DefaultRouteInfo& default_route6, std::string* error,
                              bool route_follows = false);
