#include "approuting/policy.h"

#include <algorithm>
#include <set>

#include "approuting/ascii.h"
#include "approuting/policy_patterns.h"

namespace {

constexpr size_t kMaxPolicyBytes = 65536;

// Exact spellings only: a space before the colon, or two after it, is not
// an enabled marker, and such a document counts as disabled.
bool HasEnabledMarker(const std::string& text) {
  return text.find("\"enabled\":true") != std::string::npos ||
         text.find("\"enabled\": true") != std::string::npos;
}

bool HasModeMarker(const std::string& text) {
  for (const char* marker :
       {"\"mode\":\"bypassSelected\"", "\"mode\":\"vpnOnlySelected\"",
        "\"mode\": \"bypassSelected\"", "\"mode\": \"vpnOnlySelected\""}) {
    if (text.find(marker) != std::string::npos) return true;
  }
  return false;
}

bool IsOneOf(const std::string& word, std::initializer_list<const char*> words) {
  return std::any_of(words.begin(), words.end(), [&](const char* w) { return word == w; });
}

// The validator does not reserve "disabled"; the parser does. So a document
// whose only name is "disabled" is valid yet parses to an empty list.
bool IsValidatorReservedWord(const std::string& name) {
  return IsOneOf(name, {"mode", "apps", "enabled", "bypassSelected", "vpnOnlySelected"});
}

bool IsParserReservedWord(const std::string& name) {
  return IsValidatorReservedWord(name) || name == "disabled";
}

// The name pattern already guarantees this; kept as the parser's own check
// so that no other spelling can ever reach the process-name list.
bool IsProcessNameSpelling(const std::string& name) {
  if (name.empty() || name.size() > 121 || !IsAsciiAlnum(name[0])) return false;
  return std::all_of(name.begin(), name.end(), IsProcessNameTail);
}

}  // namespace

bool IsValidLinuxAppBypassPolicy(const std::string& text, std::string* error) {
  if (text.size() > kMaxPolicyBytes) {
    *error = "policy is too large";
    return false;
  }
  // A disabled document is valid whatever else it holds.
  if (!HasEnabledMarker(text)) return true;
  if (!HasModeMarker(text)) {
    *error = "mode must be bypassSelected or vpnOnlySelected";
    return false;
  }
  const std::vector<std::string> names = SearchQuotedNames(text);
  if (std::all_of(names.begin(), names.end(), IsValidatorReservedWord)) {
    *error = "enabled app bypass requires at least one process name";
    return false;
  }
  return true;
}

AppRoutingPolicy ParseAppRoutingPolicy(const std::string& text, std::string* error) {
  AppRoutingPolicy policy;
  if (text.empty()) return policy;
  if (!IsValidLinuxAppBypassPolicy(text, error)) return policy;

  policy.enabled = HasEnabledMarker(text);
  if (!policy.enabled) return policy;
  if (std::optional<std::string> mode = SearchModeValue(text)) policy.mode = *mode;

  // The "apps" member is not located: every qualifying quoted token of the
  // document is a name, including the keys and values of other members.
  std::set<std::string> seen_keys;
  for (const std::string& name : SearchQuotedNames(text)) {
    if (IsParserReservedWord(name) || !IsProcessNameSpelling(name)) continue;
    if (!seen_keys.insert(LowerAscii(name)).second) continue;
    policy.apps.push_back(name);
  }
  return policy;
}
