#pragma once
// Shared by the test-only drivers: their list arguments are comma-separated,
// and empty items are dropped so an empty argument stands for an empty list.
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> SplitCsv(const std::string& csv) {
  std::vector<std::string> items;
  std::stringstream stream(csv);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}
