#include "watch/piece_outcomes.h"

#include "lifecycle/status_line.h"

namespace {

bool Taken(const WantedPiece& piece, const WatchState& state) {
  if (!state.looked) return true;
  const auto was = state.wanted_pieces.find(piece.name);
  return was != state.wanted_pieces.end() && was->second == PieceText(piece);
}

// Once the client was told of a fight over the piece, further restores of
// it say nothing new: they are not told (a program that keeps taking
// OUTPUT's first place would otherwise fill the client's log).
void TellRestored(const std::string& piece, int64_t longest_ms, int64_t now_ms, WatchState* state) {
  if (state->fights_told.count(piece) == 0) PrintStatusLine("INFO: restored " + piece);
  PieceBackoff& backoff = state->backoff[piece];
  backoff.waiting = false;
  NoteRestored(&backoff, now_ms, longest_ms);
  if (backoff.restores >= kFightRestores && state->fights_told.insert(piece).second) {
    PrintStatusLine("INFO: something else keeps removing or overtaking the " + piece +
                    "; it is put back after a growing pause");
  }
}

// Said once per run of failures; the piece is tried again regardless.
void TellRestoreFailed(const std::string& piece, int64_t longest_ms, int64_t now_ms,
                       WatchState* state) {
  PieceBackoff& backoff = state->backoff[piece];
  if (backoff.failures == 0) PrintStatusLine("INFO: could not restore " + piece);
  NoteRestoreFailed(&backoff, now_ms, longest_ms);
}

}  // namespace

bool PieceHeld(const WantedPiece& piece, const WantedState& wanted,
               const std::set<std::string>& broken, int64_t now_ms, const WatchState& state) {
  const auto backoff = state.backoff.find(piece.name);
  if (backoff == state.backoff.end() || !Taken(piece, state)) return false;
  return now_ms < NextRestoreMs(backoff->second, LongestPause(LeaksWhileAbsent(piece, wanted, broken)));
}

void NoteOutcomes(const WantedState& wanted, const RepairPlan& repair, const RepairOutcome& outcome,
                  bool full_look, int64_t now_ms, WatchState* state) {
  std::set<std::string> not_standing = repair.held;
  for (const WantedPiece& piece : wanted.pieces) {
    if (repair.broken.count(piece.name) != 0 && !PieceRepaired(piece, outcome)) {
      not_standing.insert(piece.name);
    }
  }
  for (const WantedPiece& piece : wanted.pieces) {
    if (repair.broken.count(piece.name) == 0 || repair.held.count(piece.name) != 0) continue;
    const int64_t longest = LongestPause(LeaksWhileAbsent(piece, wanted, not_standing));
    if (!PieceRepaired(piece, outcome)) {
      TellRestoreFailed(piece.name, longest, now_ms, state);
    } else if (Taken(piece, *state)) {
      TellRestored(piece.name, longest, now_ms, state);
    }
  }
  for (auto& [name, backoff] : state->backoff) {
    const WantedPiece* piece = FindPiece(wanted, name);
    if (piece != nullptr && repair.held.count(name) != 0) {
      backoff.waiting = true;
      backoff.wake_ms =
          NextRestoreMs(backoff, LongestPause(LeaksWhileAbsent(*piece, wanted, repair.broken)));
    } else if (full_look) {
      backoff.waiting = false;
    }
  }
  state->wanted_pieces.clear();
  for (const WantedPiece& piece : wanted.pieces) state->wanted_pieces[piece.name] = PieceText(piece);
  state->looked = true;
}
