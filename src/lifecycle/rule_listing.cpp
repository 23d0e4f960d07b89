#include "lifecycle/rule_listing.h"

#include <algorithm>
#include <sstream>

#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"

namespace {

constexpr size_t kMaxRuleTextLength = 2048;

bool IsRuleTextCharacter(char c) {
  return IsSafeShellByte(static_cast<unsigned char>(c)) || c == ' ' || c == '=';
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::vector<std::string> ListedChainRules(const std::string& listing, const std::string& chain) {
  const std::string prefix = "-A " + chain + " ";
  std::vector<std::string> rules;
  for (const std::string& line : SplitLines(listing)) {
    if (line.compare(0, prefix.size(), prefix) == 0) rules.push_back(line.substr(prefix.size()));
  }
  return rules;
}

bool IsSafeListedRule(const std::string& rule) {
  return !rule.empty() && rule.size() <= kMaxRuleTextLength &&
         std::all_of(rule.begin(), rule.end(), IsRuleTextCharacter);
}

bool HasCommentMarker(const std::string& rule, const std::string& marker) {
  return ListedRuleOption(rule, "--comment") == marker;
}

std::string ListedRuleOption(const std::string& rule, const std::string& option) {
  const std::vector<std::string> words = Words(rule);
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == option) return words[i + 1];
  }
  return {};
}
