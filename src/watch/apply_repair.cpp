#include "watch/apply_repair.h"

#include <fcntl.h>
#include <unistd.h>

#include "lifecycle/nft_table_commands.h"
#include "lifecycle/shell.h"
#include "routing/src_valid_mark.h"

// Screens: every line a repair writes comes from the wanted state, built
// from the plan's screened values and the helper's own texts, or, for a
// delete, from the listing's own entry, screened in repair_plan.cpp.

namespace {

bool RunLines(const std::vector<std::string>& lines, const std::string& tool) {
  return lines.empty() || RunShellCommand(FeedLinesCommand(lines, tool)) == 0;
}

void WriteSetting(const std::string& path, const std::string& value) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!write(fd, value.data(), value.size());
  close(fd);
}

// Made again whole, then listed: how nft lists it now is what later looks
// compare with.
bool MakeNftTable(const WantedNftTable& table, NftBaseline* baseline) {
  std::string listing;
  if (RunShellCommand(table.install_command) != 0 ||
      !ReadListing(NftTableListCommand(NftTableKey(table)), &listing)) {
    return false;
  }
  *baseline = {table.install_command, ParseNftTableListing(listing)};
  return true;
}

}  // namespace

RepairOutcome ApplyRepair(const WantedState& wanted, const RepairPlan& repair,
                          const SrcValidMarkChanges& src_valid_mark, WatchState* state) {
  RepairOutcome outcome;
  // The marker goes last, after the value is back to 0: killed in between,
  // a marker on a device that reads 0 again is harmless.
  for (const std::string& device : src_valid_mark.release) WriteSrcValidMark(device, "0");
  outcome.restore4_ok = RunLines(repair.restore4, "iptables-restore --noflush");
  outcome.restore6_ok = RunLines(repair.restore6, "ip6tables-restore --noflush");
  outcome.batch4_ok = RunLines(repair.batch4, "ip -4 -force -batch -");
  outcome.batch6_ok = RunLines(repair.batch6, "ip -6 -force -batch -");
  for (const WantedNftTable& table : repair.nft_installs) {
    NftBaseline baseline;
    if (MakeNftTable(table, &baseline)) {
      state->nft_baselines[NftTableKey(table)] = baseline;
    } else {
      outcome.nft_failed.insert(NftTableKey(table));
    }
  }
  for (const std::string& name : repair.after_made) {
    const WantedPiece* piece = FindPiece(wanted, name);
    if (piece != nullptr && PieceRepaired(*piece, outcome)) piece->after_made();
  }
  for (const auto& [path, value] : repair.setting_writes) WriteSetting(path, value);
  if (outcome.restore4_ok) {
    for (const std::string& device : src_valid_mark.release) state->raised_src_valid_mark.erase(device);
    for (const std::string& device : src_valid_mark.raise) {
      WriteSrcValidMark(device, "1");
      state->raised_src_valid_mark.insert(device);
    }
  }
  return outcome;
}

bool PieceRepaired(const WantedPiece& piece, const RepairOutcome& outcome) {
  bool ok = true;
  for (const OwnedRule& rule : piece.rules) ok &= rule.ipv6 ? outcome.batch6_ok : outcome.batch4_ok;
  if (!piece.chains.empty() || !piece.chain_rules.empty()) {
    ok &= piece.ipv6 ? outcome.restore6_ok : outcome.restore4_ok;
  }
  for (const WantedNftTable& table : piece.nft_tables) {
    ok &= outcome.nft_failed.count(NftTableKey(table)) == 0;
  }
  return ok;
}
