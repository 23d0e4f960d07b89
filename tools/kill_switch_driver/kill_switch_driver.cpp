// Test-only driver: calls the kill switch operations directly with lists the
// helper itself would never pass (host names among the addresses, invalid
// prefixes), so a namespace test can check what reaches the firewall.
//
//   kill_switch_driver apply TUN IPV4_CSV IPV6_CSV PREFIX_CSV want|nowant
//   kill_switch_driver guard TUN IPV4_CSV IPV6_CSV PREFIX_CSV UPLINK_CSV BRIDGE_CSV
//                            app|noapp [LOOKUP_CSV [ON_LINK_CSV]]
//   kill_switch_driver guard-listed (same arguments as guard)
//   kill_switch_driver cleanup
//
// apply builds the chains, guard the guard's table; each prints "OK",
// "OK: no nft" or "ERROR: " and the error text, exit status 0 or 2.
// guard-listed prints "listed as built" when the host lists the guard
// exactly as those inputs build it, else the listing.

#include <iostream>
#include <string>
#include <vector>

#include "killswitch/kill_switch.h"
#include "killswitch/kill_switch_guard.h"
#include "lifecycle/nft_table_commands.h"
#include "lifecycle/shell.h"
#include "split_csv.h"

namespace {

int Usage() {
  std::cerr << "usage: kill_switch_driver apply TUN IPV4 IPV6 PREFIXES want|nowant\n"
               "       kill_switch_driver guard|guard-listed TUN IPV4 IPV6 PREFIXES UPLINKS "
               "BRIDGES app|noapp [LOOKUPS [ON_LINK]]\n"
               "       kill_switch_driver cleanup\n";
  return 2;
}

int Report(bool ok, const std::string& error) {
  std::cout << (ok ? "OK" : "ERROR: " + error) << std::endl;
  return ok ? 0 : 2;
}

KillSwitchInputs InputsOf(const std::vector<std::string>& args) {
  KillSwitchInputs inputs;
  inputs.tun_name = args[1];
  inputs.endpoint.ipv4 = SplitCsv(args[2]);
  inputs.endpoint.ipv6 = SplitCsv(args[3]);
  inputs.bypass_prefixes = SplitCsv(args[4]);
  return inputs;
}

int Guard(const std::vector<std::string>& args) {
  KillSwitchInputs inputs = InputsOf(args);
  inputs.devices.uplinks = SplitCsv(args[5]);
  inputs.devices.local_bridges = SplitCsv(args[6]);
  inputs.allow_app_mark = inputs.app_mark_to_uplinks = args[7] == "app";
  if (args.size() > 8) inputs.lookup_targets = SplitCsv(args[8]);
  // The uplinks' networks, as the reader gives them (guard_devices.h).
  for (const std::string& network : args.size() > 9 ? SplitCsv(args[9]) : std::vector<std::string>{}) {
    (network.find(':') == std::string::npos ? inputs.devices.on_link4 : inputs.devices.on_link6)
        .push_back(network);
  }
  if (args[0] == "guard-listed") {
    const std::string listing =
        ExecCommandOutput(NftTableListCommand(std::string("inet ") + kKillSwitchGuardTable));
    const bool listed = ParseNftTableListing(listing) == KillSwitchGuardLines(inputs);
    std::cout << (listed ? "listed as built\n" : listing);
    return listed ? 0 : 1;
  }
  std::string error;
  switch (ApplyKillSwitchGuard(inputs, &error)) {
    case KillSwitchGuardResult::kInstalled:
      return Report(true, "");
    case KillSwitchGuardResult::kNoNft:
      std::cout << "OK: no nft" << std::endl;
      return 0;
    case KillSwitchGuardResult::kFailed:
      break;
  }
  return Report(false, error);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "cleanup") {
    CleanupKillSwitchPolicy();
    return 0;
  }
  if (args.size() >= 8 && args.size() <= 10 && (args[0] == "guard" || args[0] == "guard-listed")) {
    return Guard(args);
  }
  std::string error;
  if (args.size() != 6 || args[0] != "apply") return Usage();
  KillSwitchInputs inputs = InputsOf(args);
  inputs.want_ipv6 = args[5] == "want";
  return Report(ApplyKillSwitchPolicy(inputs, &error), error);
}
