#pragma once

// Applying a repair: each kind as one command (a batch, a transaction, one
// nft script per table), in an order that never leaves a piece half made.

#include <set>
#include <string>

#include "watch/repair_plan.h"
#include "watch/src_valid_mark_plan.h"
#include "watch/wanted_state.h"
#include "watch/watch_state.h"

struct RepairOutcome {
  bool restore4_ok = true;
  bool restore6_ok = true;
  bool batch4_ok = true;
  bool batch6_ok = true;
  std::set<std::string> nft_failed;  // tables ("FAMILY NAME") not made again
};

// Runs the repair. src_valid_mark goes back to 0 before the firewall's
// transactions remove its marker, and up to 1 only after they put it in.
// A table made again is listed right after, which becomes its baseline;
// what runs after a piece is made runs once its commands succeeded.
RepairOutcome ApplyRepair(const WantedState& wanted, const RepairPlan& repair,
                          const SrcValidMarkChanges& src_valid_mark, WatchState* state);

// Whether every command that makes the piece's parts succeeded.
bool PieceRepaired(const WantedPiece& piece, const RepairOutcome& outcome);
