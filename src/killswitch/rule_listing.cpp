#include "killswitch/rule_listing.h"

#include <algorithm>

#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"

namespace {

constexpr size_t kMaxRuleTextLength = 2048;

bool IsRuleTextCharacter(char c) {
  return IsSafeShellByte(static_cast<unsigned char>(c)) || c == ' ' || c == '=';
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
  const std::vector<std::string> words = SplitWords(rule);
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == option) return words[i + 1];
  }
  return {};
}

bool ListsPolicyRule(const std::string& ip_rule_listing, const std::string& priority,
                     const std::string& fwmark, const std::string& table) {
  for (const std::string& line : SplitLines(ip_rule_listing)) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0] != priority + ":") continue;
    const std::string rule = line.substr(line.find(':') + 1);
    if (ListedRuleOption(rule, "fwmark") == fwmark && ListedRuleOption(rule, "lookup") == table) {
      return true;
    }
  }
  return false;
}
