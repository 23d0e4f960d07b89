#include "watch/pacing.h"

#include <algorithm>

namespace {

constexpr int64_t kFirstPauseMs = 1000;
constexpr int64_t kLeakingLongestPauseMs = 1000;
constexpr int64_t kLongestPauseMs = 30000;
constexpr int64_t kCalmMs = 60000;
constexpr int64_t kFirstRetryMs = 50;

}  // namespace

int64_t LongestPause(bool absence_leaks) {
  return absence_leaks ? kLeakingLongestPauseMs : kLongestPauseMs;
}

void NoteRestored(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms) {
  const bool calm = backoff->pause_ms == 0 || now_ms - backoff->last_restored_ms > kCalmMs;
  backoff->pause_ms = calm ? kFirstPauseMs : std::min(backoff->pause_ms * 2, longest_ms);
  backoff->restores = calm ? 1 : backoff->restores + 1;
  backoff->last_restored_ms = backoff->last_try_ms = now_ms;
  backoff->failures = 0;
  backoff->next_allowed_ms = now_ms + backoff->pause_ms;
}

void NoteRestoreFailed(PieceBackoff* backoff, int64_t now_ms, int64_t longest_ms) {
  const int doublings = std::min(backoff->failures, 10);
  backoff->failures += 1;
  backoff->last_try_ms = now_ms;
  backoff->next_allowed_ms = now_ms + std::min(kFirstRetryMs << doublings, longest_ms);
}

int64_t NextRestoreMs(const PieceBackoff& backoff, int64_t longest_ms) {
  return std::min(backoff.next_allowed_ms, backoff.last_try_ms + longest_ms);
}
