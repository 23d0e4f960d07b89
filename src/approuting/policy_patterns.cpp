#include "approuting/policy_patterns.h"

#include "lifecycle/byte_pattern.h"

namespace {

// "mode"\s*:\s*"([^"]+)" with \s spelled out (see byte_pattern.h).
const char kModePattern[] = R"re("mode"[\t\n\v\f\r ]*:[\t\n\v\f\r ]*"([^"]+)")re";
const char kNamePattern[] = R"re("([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})")re";

}  // namespace

std::optional<std::string> SearchModeValue(const std::string& text) {
  const RE2 pattern(kModePattern, BytePatternOptions(false));
  std::string value;
  size_t match_end = 0;
  if (!FindFirstGroup(pattern, text, 0, &value, &match_end)) return std::nullopt;
  return value;
}

std::vector<std::string> SearchQuotedNames(const std::string& text) {
  const RE2 pattern(kNamePattern, BytePatternOptions(false));
  std::vector<std::string> names;
  std::string name;
  // The pattern never matches empty text, so resuming at the previous end
  // always moves on.
  for (size_t from = 0, end = 0; FindFirstGroup(pattern, text, from, &name, &end); from = end) {
    names.push_back(name);
  }
  return names;
}
