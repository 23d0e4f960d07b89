#include "approuting/policy_patterns.h"

#include "approuting/ascii.h"

namespace {

// \s of the classic locale.
bool IsPatternSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr size_t kMaxNameLength = 121;

// Neither pattern can backtrack into a different split: \s never matches ':'
// or '"', and the character classes exclude the quote that ends them. So a
// match at a given start is decided by one forward scan, and a start that
// fails has no other way to succeed.
std::optional<std::string> ModeValueAt(const std::string& text, size_t start) {
  static const std::string key = "\"mode\"";
  if (text.compare(start, key.size(), key) != 0) return std::nullopt;
  size_t pos = start + key.size();
  while (pos < text.size() && IsPatternSpace(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != ':') return std::nullopt;
  ++pos;
  while (pos < text.size() && IsPatternSpace(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  const size_t value_start = pos + 1;
  const size_t value_end = text.find('"', value_start);
  if (value_end == std::string::npos || value_end == value_start) return std::nullopt;
  return text.substr(value_start, value_end - value_start);
}

// Length of the name matched by an opening quote at `start`, or 0.
size_t NameLengthAt(const std::string& text, size_t start) {
  if (text[start] != '"') return 0;
  const size_t name_start = start + 1;
  if (name_start >= text.size() || !IsAsciiAlnum(text[name_start])) return 0;
  size_t pos = name_start + 1;
  // Scanning one past the limit is enough: a longer run cannot end in '"'.
  while (pos < text.size() && pos - name_start <= kMaxNameLength && IsProcessNameTail(text[pos])) ++pos;
  const size_t length = pos - name_start;
  if (length > kMaxNameLength || pos >= text.size() || text[pos] != '"') return 0;
  return length;
}

}  // namespace

std::optional<std::string> SearchModeValue(const std::string& text) {
  // Every start that can match sits on a quote; each value scan stops at the
  // next quote, so no byte is scanned by more than a few starts.
  for (size_t start = text.find('"'); start != std::string::npos; start = text.find('"', start + 1)) {
    std::optional<std::string> value = ModeValueAt(text, start);
    if (value) return value;
  }
  return std::nullopt;
}

std::vector<std::string> SearchQuotedNames(const std::string& text) {
  std::vector<std::string> names;
  size_t start = text.find('"');
  while (start != std::string::npos) {
    const size_t length = NameLengthAt(text, start);
    if (length > 0) {
      names.push_back(text.substr(start + 1, length));
      start = text.find('"', start + length + 2);
    } else {
      start = text.find('"', start + 1);
    }
  }
  return names;
}
