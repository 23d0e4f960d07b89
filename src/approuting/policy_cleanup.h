#pragma once

#include <string>
#include <vector>

// The delete commands for the app-routing mark rules found in a listing of
// "iptables -t mangle -S OUTPUT": rules for a group of the helper's name
// under any base path, so rules left by invocations in other cgroups go too.
std::vector<std::string> StaleMarkRuleDeleteCommands(const std::string& listing);

// Removes every piece of app routing from the host (mark rules, routing
// rules, both tables, the group after handing its processes back) and asks
// the monitor to stop. The caller joins a running monitor first.
void CleanupAppRoutingPolicy();
