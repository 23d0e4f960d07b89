#pragma once

#include <optional>
#include <string>
#include <vector>

// The two searches a policy document is judged by, case-sensitive. Each
// gives what its ECMAScript pattern (search, default flags) gives, in
// linear time: the standard library's engine would overflow the stack on a
// mode value of a few tens of kilobytes, well inside the size limit.

// The captured value of the leftmost match of "mode"\s*:\s*"([^"]+)", if any.
std::optional<std::string> SearchModeValue(const std::string& text);

// The captured names of all matches of "([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})",
// left to right, each search resuming right after the previous match (so a
// closing quote is never reused as the next opening one).
std::vector<std::string> SearchQuotedNames(const std::string& text);
