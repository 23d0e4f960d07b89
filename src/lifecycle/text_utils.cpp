#include "lifecycle/text_utils.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace {
constexpr const char* kTrimmedBytes = " \t\r\n";
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(kTrimmedBytes);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(kTrimmedBytes);
  return text.substr(first, last - first + 1);
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) joined += ",";
    joined += items[i];
  }
  return joined;
}

std::string ReadFileToString(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}
