#pragma once

#include <optional>
#include <string>
#include <vector>

// The two searches a policy document is judged by. They run on the
// linear-time matcher: the standard library's ECMAScript engine recurses
// once per character and overflows the stack on a mode value of a few tens
// of kilobytes, well inside the size limit. Each search gives exactly what
// the ECMAScript pattern beside it gives (search, default flags, the
// classic "C" character classes).

// "mode"\s*:\s*"([^"]+)"
inline constexpr const char* kModePattern = "\"mode\"\\s*:\\s*\"([^\"]+)\"";
// "([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})"
inline constexpr const char* kNamePattern = "\"([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})\"";

// The captured value of the leftmost match of kModePattern, if any.
std::optional<std::string> SearchModeValue(const std::string& text);

// The captured names of all matches of kNamePattern, left to right, each
// search resuming right after the previous match (so a closing quote is
// never reused as the next opening one).
std::vector<std::string> SearchQuotedNames(const std::string& text);
