#include "approuting/policy_patterns.h"

#include "routing/pattern_search.h"

namespace {

// Both patterns are fixed and inside the matcher's grammar (the unit tests
// compare every search with std::regex), so compiling cannot fail.
CompiledPattern CompileFixed(const char* pattern_text) {
  CompiledPattern compiled;
  std::string error;
  CompilePattern(pattern_text, false, &compiled, &error);
  return compiled;
}

const CompiledPattern& ModePattern() {
  static const CompiledPattern compiled = CompileFixed(kModePattern);
  return compiled;
}

const CompiledPattern& NamePattern() {
  static const CompiledPattern compiled = CompileFixed(kNamePattern);
  return compiled;
}

}  // namespace

std::optional<std::string> SearchModeValue(const std::string& text) {
  const PatternMatch match = FindPattern(ModePattern(), text, 0);
  if (!match.found) return std::nullopt;
  return MatchGroupText(match, text, 1);
}

std::vector<std::string> SearchQuotedNames(const std::string& text) {
  std::vector<std::string> names;
  // The pattern never matches empty text, so resuming at the previous end
  // always moves on, as std::sregex_iterator does.
  for (PatternMatch match = FindPattern(NamePattern(), text, 0); match.found;
       match = FindPattern(NamePattern(), text, match.end)) {
    names.push_back(MatchGroupText(match, text, 1));
  }
  return names;
}
