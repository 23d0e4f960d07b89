// The filter table's listing comes from the host, where anyone with the
// capability adds rules. Whatever it holds, a repair of the kill switch
// may run only commands built from the install's own rules and the counts
// it takes from the listing: never a word of the listing itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "killswitch/kill_switch_commands.h"
#include "killswitch/kill_switch_repair.h"
#include "killswitch/safe_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string listing(reinterpret_cast<const char*>(data), size);
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"203.0.113.7"};
  KillSwitchInputs inputs;
  inputs.tun_name = "tun0";
  inputs.endpoint = endpoint;
  inputs.bypass_prefixes = {"10.0.0.0/8"};
  inputs.allow_app_mark = true;
  const std::vector<std::string> rules = KillSwitchIpv4Rules(inputs);
  const KillSwitchRepair repair =
      PlanKillSwitchRepair("iptables", rules, ParseKillSwitchListing(listing));
  for (std::string command : repair.commands) {
    // Without the install's own rule, what remains is the tool, the action,
    // the chain and a number: safe words and blanks.
    for (const std::string& rule : rules) {
      if (command.size() > rule.size() &&
          command.compare(command.size() - rule.size(), rule.size(), rule) == 0) {
        command.resize(command.size() - rule.size());
        break;
      }
    }
    for (char c : command) FUZZ_CHECK(c == ' ' || IsSafeShellByte(static_cast<unsigned char>(c)));
  }
  CanonicalFirewallRule(listing);
  return 0;
}
