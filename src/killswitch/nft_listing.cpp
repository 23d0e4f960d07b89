#include "killswitch/nft_listing.h"

#include "lifecycle/text_utils.h"

std::string NftListTableCommand(const std::string& family, const std::string& name) {
  return "nft list table " + family + " " + name + " 2>/dev/null";
}

std::vector<std::string> ParseNftTableListing(const std::string& listing) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(listing)) {
    const std::string trimmed = Trim(line);
    if (!trimmed.empty()) lines.push_back(trimmed);
  }
  return lines;
}
