#pragma once

#include <string>
#include <vector>

#include "killswitch/kill_switch_commands.h"
#include "routing/endpoint.h"

bool RunKillSwitchCommand(const std::string& command, std::string* error);
bool ApplyKillSwitchPolicy(const KillSwitchInputs& inputs, std::string* error);
void CleanupKillSwitchPolicy();
