#pragma once

// What the client is told about the pieces a look put back, and how long
// each then waits before it is put back again.

#include <cstdint>

#include "watch/apply_repair.h"
#include "watch/repair_plan.h"
#include "watch/wanted_state.h"
#include "watch/watch_state.h"

// One line per piece put back that something took away (a piece whose
// wanted state changed moved with the network: nothing took it); a piece
// that keeps being taken waits longer each time, and the client is told once
// that something fights over it, and from then on the restores of that piece
// are not told. A failed restore is said once per run of failures. Pieces held now wait for the end of their pause; a look that
// read everything a piece can be held by (`full_look`) and did not hold it
// ends its wait. Finally the wanted state is remembered for the next look.
void NoteOutcomes(const WantedState& wanted, const RepairPlan& repair, const RepairOutcome& outcome,
                  bool full_look, int64_t now_ms, WatchState* state);

// Whether the piece, found out of place among `broken`, waits: only one
// that was taken (its wanted state is the same as at the last look) and
// whose pause has not run out.
bool PieceHeld(const WantedPiece& piece, const WantedState& wanted,
               const std::set<std::string>& broken, int64_t now_ms, const WatchState& state);
