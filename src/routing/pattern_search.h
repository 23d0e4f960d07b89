#pragma once

// Linear-time pattern search for the fixed patterns the helper looks for in
// configuration and policy texts.
//
// The results are exactly those of std::regex_search with the ECMAScript
// grammar (optionally with std::regex::icase) for the same pattern text:
// leftmost match, greedy and lazy quantifiers preferring what the
// backtracking engine prefers, the same capture groups. Unlike libstdc++'s
// std::regex, which recurses once per input byte and overflows the stack on
// texts of some tens of kilobytes, the search runs in time proportional to
// text length times pattern size and uses memory proportional to the
// pattern only, so texts of many megabytes are fine.
//
// Supported pattern syntax, a subset of ECMAScript; anything else is
// refused by CompilePattern:
//   - literal bytes, and "\" followed by any byte that is not a letter or
//     digit (\" \[ \\ \. ...) for that byte;
//   - the classes \s \S \d \D \w \W, and bracket expressions [...] / [^...]
//     holding single bytes, ranges a-z, escaped bytes and those classes;
//   - quantifiers * + ? {n} {n,} {n,m} (n, m up to 1000) after one of the
//     above, each optionally followed by ? to make it lazy;
//   - capturing groups ( ... ), which may nest but take no quantifier.
// Not supported: ".", "|", anchors, backreferences, lookaround, non-capturing
// groups. Case folding (ignore_case) is ASCII only, as std::regex::icase in
// the "C" locale the helper runs in; \s is space, \t, \n, \v, \f, \r.
//
// Usage, e.g. for all quoted names of a policy text, resuming after each match
// as std::sregex_iterator does:
//   CompiledPattern names;
//   std::string error;
//   if (!CompilePattern("\"([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})\"", false, &names, &error)) ...
//   for (PatternMatch m = FindPattern(names, text, 0); m.found;
//        m = FindPattern(names, text, m.end)) {
//     std::string name = MatchGroupText(m, text, 1);
//   }
// (A pattern that can match empty text needs the caller to step past an
// empty match itself, as std::regex_iterator does.)

#include <bitset>
#include <cstddef>
#include <string>
#include <vector>

enum class PatternOp {
  kByte,   // consume one byte that is in byte_sets[set]
  kSplit,  // continue at next, and failing that at alternative
  kJump,   // continue at next
  kSave,   // record the position in capture slot `slot`
  kMatch,  // the pattern matched
};

struct PatternInstruction {
  PatternOp op = PatternOp::kMatch;
  int next = 0;
  int alternative = 0;
  int set = 0;
  int slot = 0;
};

// The compiled form: a small program for a breadth-first (Pike) machine.
// Slots 2k and 2k+1 hold the begin and end of group k; group 0 is the whole
// match.
struct CompiledPattern {
  std::vector<PatternInstruction> program;
  std::vector<std::bitset<256>> byte_sets;
  int group_count = 0;  // capturing groups, not counting group 0
};

struct PatternMatch {
  bool found = false;
  size_t begin = 0;
  size_t end = 0;
  // Begin/end offsets of every group, group 0 first; npos for a group that
  // took no part in the match.
  std::vector<size_t> slots;
};

// Compiles `pattern`; false with a short message for syntax outside the
// subset above.
bool CompilePattern(const std::string& pattern, bool ignore_case, CompiledPattern* compiled,
                    std::string* error);

// The leftmost match that begins at or after `from`.
PatternMatch FindPattern(const CompiledPattern& pattern, const std::string& text, size_t from);

// The text of group `group` of a found match; empty when the group took no
// part in it or does not exist.
std::string MatchGroupText(const PatternMatch& match, const std::string& text, int group);
