#pragma once

#include <string>
#include <vector>

// The commands of an nf_tables table of the helper's own, named
// "FAMILY NAME" (say "inet zelmo-vpn-block"), a text the program makes.

// Replaces any table of that name by LINES (which build it from nothing)
// in one "nft -f -" transaction: no moment without the table, never two.
std::string NftTableInstallCommand(const std::string& table, const std::vector<std::string>& lines);
// The same for several tables in one transaction: all of them or none.
struct NftTableScript {
  std::string table;
  std::vector<std::string> lines;
};
std::string NftTablesInstallCommand(const std::vector<NftTableScript>& tables);
// Lists the table; fails, printing nothing, when there is none.
std::string NftTableListCommand(const std::string& table);
// The lines of such a listing without their indentation, blank lines left
// out: nft lists a table in its own words, one rule a line, so a table is
// compared line by line with how it was listed before.
std::vector<std::string> ParseNftTableListing(const std::string& listing);
// Deletes the table, whatever it holds; quiet when there is none.
std::string NftTableDeleteCommand(const std::string& table);
