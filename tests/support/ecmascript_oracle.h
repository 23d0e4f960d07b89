#pragma once
// The helper's pattern searches as the standard library's ECMAScript engine
// answers them: the reference the RE2 searches are compared with. Safe on
// short texts only: std::regex recurses once per character.

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"

// The ECMAScript pattern texts, each beside the operation it defines.
// ExtractTunName and ExtractProxyAddress, case-insensitive:
inline constexpr const char* kTunNameRegex =
    R"re("protocol"\s*:\s*"tun"[\s\S]*?"name"\s*:\s*"([^"]+)")re";
inline constexpr const char* kProxyAddressRegex =
    R"re("vnext"\s*:\s*\[[\s\S]*?"address"\s*:\s*"([^"]+)")re";
// SearchModeValue and SearchQuotedNames, case-sensitive:
inline constexpr const char* kModeRegex = R"re("mode"\s*:\s*"([^"]+)")re";
inline constexpr const char* kNameRegex = R"re("([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})")re";
// One line of the TUN link listing (ParseOwnedTunNames), case-sensitive:
inline constexpr const char* kLinkLineRegex = R"re(^\d+:\s+([^:]+):)re";

inline std::regex OracleRegex(const char* pattern, bool ignore_case) {
  return std::regex(pattern, ignore_case ? std::regex::ECMAScript | std::regex::icase
                                         : std::regex::ECMAScript);
}

// Group 1 of the leftmost match, if there is a match.
inline std::optional<std::string> OracleFirstGroup(const std::regex& re, const std::string& text) {
  std::smatch match;
  if (!std::regex_search(text, match, re)) return std::nullopt;
  return match[1].matched ? match[1].str() : std::string();
}

// Group 1 of every match, each search resuming where the previous one ended.
inline std::vector<std::string> OracleAllGroups(const std::regex& re, const std::string& text) {
  std::vector<std::string> groups;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    groups.push_back((*it)[1].str());
  }
  return groups;
}

// ParseOwnedTunNames with the link-line pattern searched by std::regex: the
// group of each line, its peer part cut off, kept when it has an owned
// prefix and is a safe word.
inline std::vector<std::string> OracleOwnedTunNames(const std::string& listing) {
  static const std::regex link_line = OracleRegex(kLinkLineRegex, false);
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(listing)) {
    const std::optional<std::string> found = OracleFirstGroup(link_line, line);
    if (!found) continue;
    const std::string name = found->substr(0, found->find('@'));
    const bool owned = name.rfind("qtun", 0) == 0 || name.rfind("zelmo_vpn-tun", 0) == 0;
    if (owned && IsSafeShellToken(name)) names.push_back(name);
  }
  return names;
}
