#pragma once

#include <string>

// Byte tests for process names; deliberately not <cctype>, whose answers
// depend on the locale.
inline bool IsAsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Any character of a process name after its first.
inline bool IsProcessNameTail(char c) {
  return IsAsciiAlnum(c) || c == '_' || c == '.' || c == '+' || c == '-';
}

// Lowers A-Z only, as the default locale does.
inline std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}
