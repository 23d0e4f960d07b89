#include "killswitch/kill_switch.h"

// Not built yet: arrives with the kill-switch work.
bool RunKillSwitchCommand(const std::string&, std::string*) { return false; }
bool ApplyKillSwitchPolicy(const std::string&, const ResolvedAddresses&, const std::vector<std::string>&, bool, std::string*) { return true; }
void CleanupKillSwitchPolicy() {}
