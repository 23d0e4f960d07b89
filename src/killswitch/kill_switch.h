#pragma once

#include <string>
#include <vector>

#include "killswitch/kill_switch_commands.h"
#include "routing/endpoint.h"

bool RunKillSwitchCommand(const std::string& command, std::string* error);
bool ApplyKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error);
// Admits endpoint addresses resolved after the chain was built without any.
bool AddKillSwitchEndpoint(const ResolvedAddresses& endpoint, bool want_ipv6, bool allow_app_mark,
                           std::string* error);
void CleanupKillSwitchPolicy();
