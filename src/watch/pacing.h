#pragma once

// How soon a piece that something else took away is put back: at once the
// first time, then after a growing pause, so a program that keeps taking it
// meets a few commands a minute rather than a busy loop. A piece whose
// absence leaks is never held back longer than a second.

#include <cstdint>

struct PieceBackoff {
  int64_t next_allowed_ms = 0;
  int64_t pause_ms = 0;
  int64_t last_restored_ms = 0;
  int64_t last_try_ms = 0;  // the last restore, or the last that failed
  int failures = 0;  // restores that failed in a row
  int restores = 0;  // restores since it last stayed in place for a while
  // Found taken while its pause ran: put back once the pause is over,
  // whatever the looks in between read; `wake_ms` is when.
  bool waiting = false;
  int64_t wake_ms = 0;
};

// The longest pause of a piece: a second where its absence leaks now, 30 s
// otherwise.
int64_t LongestPause(bool absence_leaks);

// Records a restore at now_ms: the next one of the same piece waits a
// second, then twice as long each time it disappears again, up to
// `longest_ms`. A piece that stayed in place for a minute starts over with
// no pause.
void NoteRestored(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms);
// Records a restore that failed at now_ms, most often because something
// else was changing the same table at that moment: the next try comes
// after 50 ms, then twice as long each time up to the same limit.
void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms);
// When the piece may be put back again: after its pause, and never later
// than `longest_ms` after the last try, whatever pause an earlier state
// gave it (a chain paused long while the guard stood, now without it).
int64_t NextRestoreMs(const PieceBackoff& backoff, int64_t longest_ms);

// After this many restores without a calm minute, another program is
// taken to be fighting over the piece, and the client is told once.
inline constexpr int kFightRestores = 3;
