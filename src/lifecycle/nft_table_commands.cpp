#include "lifecycle/nft_table_commands.h"

#include "lifecycle/shell.h"

std::string NftTableInstallCommand(const std::string& table, const std::vector<std::string>& lines) {
  // Made if missing, so that the delete never fails; deleted; made anew.
  std::vector<std::string> script = {"table " + table + " {}", "delete table " + table};
  script.insert(script.end(), lines.begin(), lines.end());
  return FeedLinesCommand(script, "nft -f -");
}

std::string NftTableListCommand(const std::string& table) {
  return "nft list table " + table + " 2>/dev/null";
}

std::string NftTableDeleteCommand(const std::string& table) {
  return "nft delete table " + table + kQuietSuffix;
}
