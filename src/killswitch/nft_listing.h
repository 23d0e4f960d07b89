#pragma once

#include <string>
#include <vector>

// Reading back a table of the helper's own from "nft list table": nft lists
// a table in its own words (one rule a line, indented), so the helper
// compares what it lists with what it listed before, line by line.

// "nft list table FAMILY NAME 2>/dev/null", for ReadListing; both values
// are the helper's own fixed texts.
std::string NftListTableCommand(const std::string& family, const std::string& name);

// The lines of a listing without their indentation, blank lines left out.
std::vector<std::string> ParseNftTableListing(const std::string& listing);
