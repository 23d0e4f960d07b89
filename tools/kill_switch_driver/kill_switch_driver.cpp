// Test-only driver: calls the kill switch operations directly with lists the
// helper itself would never pass (host names among the addresses, invalid
// prefixes), so a namespace test can check what reaches the firewall.
//
//   kill_switch_driver apply TUN IPV4_CSV IPV6_CSV PREFIX_CSV want|nowant
//   kill_switch_driver cleanup
//
// apply prints "OK" or "ERROR: " and the error text, exit status 0 or 2.

#include <iostream>
#include <string>
#include <vector>

#include "killswitch/kill_switch.h"
#include "split_csv.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "cleanup") {
    CleanupKillSwitchPolicy();
    return 0;
  }
  if (args.size() != 6 || args[0] != "apply") {
    std::cerr << "usage: kill_switch_driver apply TUN IPV4 IPV6 PREFIXES want|nowant\n"
                 "       kill_switch_driver cleanup\n";
    return 2;
  }
  KillSwitchInputs inputs;
  inputs.tun_name = args[1];
  inputs.endpoint.ipv4 = SplitCsv(args[2]);
  inputs.endpoint.ipv6 = SplitCsv(args[3]);
  inputs.bypass_prefixes = SplitCsv(args[4]);
  inputs.want_ipv6 = args[5] == "want";
  std::string error;
  if (!ApplyKillSwitchPolicy(inputs, &error)) {
    std::cout << "ERROR: " << error << std::endl;
    return 2;
  }
  std::cout << "OK" << std::endl;
  return 0;
}
