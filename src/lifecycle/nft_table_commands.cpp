#include "lifecycle/nft_table_commands.h"

#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

std::string NftTableInstallCommand(const std::string& table, const std::vector<std::string>& lines) {
  return NftTablesInstallCommand({{table, lines}});
}

std::string NftTablesInstallCommand(const std::vector<NftTableScript>& tables) {
  std::vector<std::string> script;
  for (const NftTableScript& table : tables) {
    // Made if missing, so that the delete never fails; deleted; made anew.
    script.push_back("table " + table.table + " {}");
    script.push_back("delete table " + table.table);
    script.insert(script.end(), table.lines.begin(), table.lines.end());
  }
  return FeedLinesCommand(script, "nft -f -");
}

std::string NftTableListCommand(const std::string& table) {
  return "nft list table " + table + " 2>/dev/null";
}

std::string NftTableDeleteCommand(const std::string& table) {
  return "nft delete table " + table + kQuietSuffix;
}

std::vector<std::string> ParseNftTableListing(const std::string& listing) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(listing)) {
    const std::string trimmed = Trim(line);
    if (!trimmed.empty()) lines.push_back(trimmed);
  }
  return lines;
}
