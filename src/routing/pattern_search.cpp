// Breadth-first run of a compiled pattern over the text. All candidate
// paths advance together, one byte at a time, kept in the order the
// backtracking engine would try them; a path that reaches an instruction an
// earlier-ranked path already holds at this position is dropped, since from
// there it could only repeat that path's future. Work per byte is bounded by
// the program size, and nothing recurses per byte.

#include "routing/pattern_search.h"

#include <algorithm>

namespace {

constexpr size_t kUnset = std::string::npos;

// Candidate paths at one text position, best ranked first, each with its
// capture slots stored side by side in `slots`. An instruction is on a list
// at most once, so both arrays are sized for the whole program up front.
struct ThreadList {
  std::vector<int> pcs;
  std::vector<size_t> slots;
  size_t count = 0;
};

struct Machine {
  const CompiledPattern& pattern;
  size_t slot_count;
  // marks[pc] == position + 1 when pc is already on the list for position.
  std::vector<size_t> marks;
};

// Follows jumps, splits and saves from `pc` in rank order and puts every
// byte test or match reached onto the list.
void AddThread(Machine* m, ThreadList* list, int pc, size_t position, std::vector<size_t>* slots) {
  if (m->marks[pc] == position + 1) return;
  m->marks[pc] = position + 1;
  const PatternInstruction& instruction = m->pattern.program[pc];
  switch (instruction.op) {
    case PatternOp::kJump:
      AddThread(m, list, instruction.next, position, slots);
      return;
    case PatternOp::kSplit:
      AddThread(m, list, instruction.next, position, slots);
      AddThread(m, list, instruction.alternative, position, slots);
      return;
    case PatternOp::kSave: {
      const size_t saved = (*slots)[instruction.slot];
      (*slots)[instruction.slot] = position;
      AddThread(m, list, instruction.next, position, slots);
      (*slots)[instruction.slot] = saved;
      return;
    }
    case PatternOp::kByte:
    case PatternOp::kMatch:
      list->pcs[list->count] = pc;
      std::copy(slots->begin(), slots->end(), list->slots.begin() + list->count * m->slot_count);
      ++list->count;
      return;
  }
}

// Bytes that can begin a match, so the search can skip ahead while no path
// is alive; false when the pattern can match empty text.
bool CollectFirstBytes(const CompiledPattern& pattern, int pc, std::vector<bool>* seen,
                       std::bitset<256>* first) {
  if ((*seen)[pc]) return true;
  (*seen)[pc] = true;
  const PatternInstruction& instruction = pattern.program[pc];
  switch (instruction.op) {
    case PatternOp::kByte:
      *first |= pattern.byte_sets[instruction.set];
      return true;
    case PatternOp::kMatch:
      return false;
    case PatternOp::kSplit:
      return CollectFirstBytes(pattern, instruction.next, seen, first) &&
             CollectFirstBytes(pattern, instruction.alternative, seen, first);
    case PatternOp::kJump:
    case PatternOp::kSave:
      return CollectFirstBytes(pattern, instruction.next, seen, first);
  }
  return false;
}

}  // namespace

PatternMatch FindPattern(const CompiledPattern& pattern, const std::string& text, size_t from) {
  PatternMatch best;
  if (pattern.program.empty() || from > text.size()) return best;
  Machine m{pattern, static_cast<size_t>(2 * (pattern.group_count + 1)),
            std::vector<size_t>(pattern.program.size(), 0)};
  std::vector<bool> seen(pattern.program.size(), false);
  std::bitset<256> first_bytes;
  const bool can_skip = CollectFirstBytes(pattern, 0, &seen, &first_bytes);

  ThreadList current;
  current.pcs.resize(pattern.program.size());
  current.slots.resize(pattern.program.size() * m.slot_count);
  ThreadList following = current;
  std::vector<size_t> scratch(m.slot_count, kUnset);
  for (size_t position = from;; ++position) {
    if (!best.found) {
      if (current.count == 0 && can_skip) {
        while (position < text.size() && !first_bytes[static_cast<unsigned char>(text[position])]) {
          ++position;
        }
        if (position >= text.size()) break;
      }
      // A match starting here ranks below every path that started earlier.
      // A start at a byte no match can begin with would die at once.
      if (!can_skip ||
          (position < text.size() && first_bytes[static_cast<unsigned char>(text[position])])) {
        scratch.assign(m.slot_count, kUnset);
        AddThread(&m, &current, 0, position, &scratch);
      }
    }
    if (current.count == 0) break;

    following.count = 0;
    for (size_t t = 0; t < current.count; ++t) {
      const PatternInstruction& instruction = pattern.program[current.pcs[t]];
      const auto thread_slots = current.slots.begin() + t * m.slot_count;
      if (instruction.op == PatternOp::kMatch) {
        // The best-ranked path to match wins; lower-ranked ones are dropped,
        // better-ranked ones still running may yet replace it.
        best.found = true;
        best.slots.assign(thread_slots, thread_slots + m.slot_count);
        break;
      }
      if (position < text.size() &&
          pattern.byte_sets[instruction.set][static_cast<unsigned char>(text[position])]) {
        scratch.assign(thread_slots, thread_slots + m.slot_count);
        AddThread(&m, &following, instruction.next, position + 1, &scratch);
      }
    }
    if (position >= text.size()) break;
    std::swap(current, following);
  }
  if (best.found) {
    best.begin = best.slots[0];
    best.end = best.slots[1];
  }
  return best;
}

std::string MatchGroupText(const PatternMatch& match, const std::string& text, int group) {
  const size_t begin_slot = 2 * static_cast<size_t>(group);
  if (!match.found || group < 0 || begin_slot + 1 >= match.slots.size()) return {};
  const size_t begin = match.slots[begin_slot];
  const size_t end = match.slots[begin_slot + 1];
  if (begin == kUnset || end == kUnset || end < begin || end > text.size()) return {};
  return text.substr(begin, end - begin);
}
