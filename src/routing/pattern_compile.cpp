// Turns a pattern text of the supported ECMAScript subset into the program
// that FindPattern runs. Quantifiers apply to single-byte atoms only, which
// keeps every loop free of empty iterations: that is what lets the
// breadth-first machine reproduce the backtracking engine's choices exactly.

#include "routing/pattern_search.h"

namespace {

constexpr int kUnbounded = -1;
constexpr int kMaxRepeat = 1000;

using ByteSet = std::bitset<256>;

struct Compiler {
  const std::string& pattern;
  bool ignore_case;
  CompiledPattern* out;
  std::string* error;
  size_t at = 0;
};

bool Fail(Compiler* c, const std::string& message) {
  *c->error = message + " at offset " + std::to_string(c->at);
  return false;
}

bool IsAsciiAlnum(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

// The byte classes of the "C" locale, which std::regex consults for \s \d \w.
ByteSet ClassSet(char letter) {
  ByteSet set;
  const char lower = static_cast<char>(letter | 0x20);
  for (int b = 0; b < 256; ++b) {
    bool member = false;
    if (lower == 's') member = b == ' ' || (b >= '\t' && b <= '\r');
    if (lower == 'd') member = b >= '0' && b <= '9';
    if (lower == 'w') member = IsAsciiAlnum(static_cast<unsigned char>(b)) || b == '_';
    set[b] = member;
  }
  return letter == lower ? set : ~set;
}

bool IsClassLetter(char letter) {
  return letter == 's' || letter == 'S' || letter == 'd' || letter == 'D' || letter == 'w' ||
         letter == 'W';
}

// icase compares both sides lowered; for ASCII that is closing the set under
// case before any negation.
ByteSet FoldCase(ByteSet set) {
  for (int upper = 'A'; upper <= 'Z'; ++upper) {
    const int lower = upper + 32;
    if (set[upper] || set[lower]) set[upper] = set[lower] = true;
  }
  return set;
}

int Emit(Compiler* c, PatternOp op) {
  PatternInstruction instruction;
  instruction.op = op;
  instruction.next = static_cast<int>(c->out->program.size()) + 1;
  c->out->program.push_back(instruction);
  return static_cast<int>(c->out->program.size()) - 1;
}

int Here(const Compiler* c) { return static_cast<int>(c->out->program.size()); }

// One element inside [...]: a byte (returned in *byte) or a class escape.
bool ParseBracketElement(Compiler* c, int* byte, ByteSet* class_set) {
  const std::string& p = c->pattern;
  *byte = -1;
  if (p[c->at] == '[') return Fail(c, "nested bracket");
  if (p[c->at] != '\\') {
    *byte = static_cast<unsigned char>(p[c->at++]);
    return true;
  }
  if (++c->at >= p.size()) return Fail(c, "dangling escape");
  const char escaped = p[c->at++];
  if (IsClassLetter(escaped)) {
    *class_set = ClassSet(escaped);
    return true;
  }
  if (IsAsciiAlnum(static_cast<unsigned char>(escaped))) return Fail(c, "unsupported escape");
  *byte = static_cast<unsigned char>(escaped);
  return true;
}

bool ParseBracket(Compiler* c, ByteSet* set) {
  const std::string& p = c->pattern;
  ++c->at;  // [
  const bool negated = c->at < p.size() && p[c->at] == '^';
  if (negated) ++c->at;
  if (c->at < p.size() && p[c->at] == ']') return Fail(c, "empty bracket");
  set->reset();
  while (true) {
    if (c->at >= p.size()) return Fail(c, "unterminated bracket");
    if (p[c->at] == ']') break;
    int low = -1;
    ByteSet class_set;
    if (!ParseBracketElement(c, &low, &class_set)) return false;
    if (low < 0) {
      *set |= class_set;
      continue;
    }
    const bool is_range = c->at + 1 < p.size() && p[c->at] == '-' && p[c->at + 1] != ']';
    if (!is_range) {
      set->set(low);
      continue;
    }
    ++c->at;  // -
    int high = -1;
    if (!ParseBracketElement(c, &high, &class_set)) return false;
    // Ranges over bytes above 127 depend on the sign of char in the
    // reference engine; they are not needed, so they are refused.
    if (high < 0 || low > 127 || high > 127 || low > high) return Fail(c, "bad range");
    for (int b = low; b <= high; ++b) set->set(b);
  }
  ++c->at;  // ]
  if (c->ignore_case) *set = FoldCase(*set);
  if (negated) set->flip();
  return true;
}

bool ParseAtom(Compiler* c, ByteSet* set) {
  const std::string& p = c->pattern;
  const char head = p[c->at];
  if (head == '[') return ParseBracket(c, set);
  if (head == '\\') {
    if (c->at + 1 >= p.size()) return Fail(c, "dangling escape");
    const char escaped = p[c->at + 1];
    c->at += 2;
    if (IsClassLetter(escaped)) {
      *set = ClassSet(escaped);
      return true;
    }
    if (IsAsciiAlnum(static_cast<unsigned char>(escaped))) return Fail(c, "unsupported escape");
    set->reset();
    set->set(static_cast<unsigned char>(escaped));
  } else {
    static const std::string kSpecial = ".|^$*+?{}[])";
    if (kSpecial.find(head) != std::string::npos) return Fail(c, "unsupported syntax");
    set->reset();
    set->set(static_cast<unsigned char>(head));
    ++c->at;
  }
  if (c->ignore_case) *set = FoldCase(*set);
  return true;
}

bool ParseNumber(Compiler* c, int* value) {
  const std::string& p = c->pattern;
  const size_t start = c->at;
  long number = 0;
  while (c->at < p.size() && p[c->at] >= '0' && p[c->at] <= '9') {
    number = number * 10 + (p[c->at++] - '0');
    if (number > kMaxRepeat) return Fail(c, "repeat count too large");
  }
  if (c->at == start) return Fail(c, "bad repeat count");
  *value = static_cast<int>(number);
  return true;
}

bool ParseQuantifier(Compiler* c, int* min, int* max, bool* lazy) {
  const std::string& p = c->pattern;
  *min = *max = 1;
  *lazy = false;
  if (c->at >= p.size()) return true;
  const char q = p[c->at];
  if (q == '*' || q == '+' || q == '?') {
    *min = q == '+' ? 1 : 0;
    *max = q == '?' ? 1 : kUnbounded;
    ++c->at;
  } else if (q == '{') {
    ++c->at;
    if (!ParseNumber(c, min)) return false;
    *max = *min;
    if (c->at < p.size() && p[c->at] == ',') {
      ++c->at;
      *max = kUnbounded;
      if (c->at < p.size() && p[c->at] != '}' && !ParseNumber(c, max)) return false;
    }
    if (c->at >= p.size() || p[c->at] != '}') return Fail(c, "bad repeat");
    ++c->at;
    if (*max != kUnbounded && *max < *min) return Fail(c, "bad repeat range");
  } else {
    return true;
  }
  if (c->at < p.size() && p[c->at] == '?') {
    *lazy = true;
    ++c->at;
  }
  return true;
}

// A split prefers `next`; greedy loops prefer another byte, lazy ones
// prefer to stop.
void SetSplitPreference(Compiler* c, int split, int take, int skip, bool lazy) {
  c->out->program[split].next = lazy ? skip : take;
  c->out->program[split].alternative = lazy ? take : skip;
}

void EmitRepeat(Compiler* c, int set_index, int min, int max, bool lazy) {
  for (int i = 0; i < min; ++i) c->out->program[Emit(c, PatternOp::kByte)].set = set_index;
  if (max == kUnbounded) {
    const int loop = Emit(c, PatternOp::kSplit);
    const int byte = Emit(c, PatternOp::kByte);
    c->out->program[byte].set = set_index;
    c->out->program[byte].next = loop;
    SetSplitPreference(c, loop, byte, Here(c), lazy);
    return;
  }
  // Each optional byte may stop the repetition; all stops meet at the end.
  std::vector<int> splits;
  for (int i = min; i < max; ++i) {
    splits.push_back(Emit(c, PatternOp::kSplit));
    c->out->program[Emit(c, PatternOp::kByte)].set = set_index;
  }
  for (const int split : splits) SetSplitPreference(c, split, split + 1, Here(c), lazy);
}

bool IsQuantifierStart(char b) { return b == '*' || b == '+' || b == '?' || b == '{'; }

}  // namespace

bool CompilePattern(const std::string& pattern, bool ignore_case, CompiledPattern* compiled,
                    std::string* error) {
  *compiled = CompiledPattern();
  Compiler c{pattern, ignore_case, compiled, error};
  std::vector<int> open_groups;
  compiled->program[Emit(&c, PatternOp::kSave)].slot = 0;
  while (c.at < pattern.size()) {
    const char head = pattern[c.at];
    if (head == '(') {
      if (c.at + 1 < pattern.size() && pattern[c.at + 1] == '?') return Fail(&c, "unsupported group");
      ++c.at;
      open_groups.push_back(++compiled->group_count);
      compiled->program[Emit(&c, PatternOp::kSave)].slot = 2 * open_groups.back();
      continue;
    }
    if (head == ')') {
      if (open_groups.empty()) return Fail(&c, "unbalanced parenthesis");
      ++c.at;
      compiled->program[Emit(&c, PatternOp::kSave)].slot = 2 * open_groups.back() + 1;
      open_groups.pop_back();
      if (c.at < pattern.size() && IsQuantifierStart(pattern[c.at])) {
        return Fail(&c, "quantified group");
      }
      continue;
    }
    ByteSet set;
    if (!ParseAtom(&c, &set)) return false;
    int min = 1;
    int max = 1;
    bool lazy = false;
    if (!ParseQuantifier(&c, &min, &max, &lazy)) return false;
    compiled->byte_sets.push_back(set);
    EmitRepeat(&c, static_cast<int>(compiled->byte_sets.size()) - 1, min, max, lazy);
  }
  if (!open_groups.empty()) return Fail(&c, "unbalanced parenthesis");
  compiled->program[Emit(&c, PatternOp::kSave)].slot = 1;
  Emit(&c, PatternOp::kMatch);
  return true;
}
