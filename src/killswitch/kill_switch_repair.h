#pragma once

#include <string>
#include <vector>

// Putting the kill switch back while READY, from what "iptables -S" (or
// ip6tables) lists for the filter table. The chain is never emptied while
// it is hooked and the jump never leaves rule 1 before its replacement is
// in: a repair never opens a moment without a kill switch.

struct KillSwitchListing {
  bool readable = false;  // the tool listed the table at all
  bool chain_exists = false;
  std::vector<std::string> chain_rules;   // without "-A ZELMO_KILLSWITCH "
  std::vector<std::string> output_rules;  // without "-A OUTPUT "
};

KillSwitchListing ParseKillSwitchListing(const std::string& filter_listing);

// A rule in one comparable form, whether written as the install writes it
// or as the tool lists it (default reject type, ICMPv6 type numbers,
// address texts).
std::string CanonicalFirewallRule(const std::string& rule);
bool ChainHoldsExactly(const std::vector<std::string>& listed,
                       const std::vector<std::string>& expected);
// The jump is rule 1 of OUTPUT and OUTPUT jumps to the chain nowhere else.
bool IsOnlyJumpFirstInOutput(const std::vector<std::string>& output_rules);

struct KillSwitchRepair {
  bool chain = false;  // the chain is missing or holds other rules
  bool jump = false;   // the jump is not rule 1, or not the only one
  std::vector<std::string> commands;
};

// The commands that make the listed state what the install builds, for
// TOOL ("iptables" or "ip6tables") and the chain's rules in order: a
// changed chain gets the expected rules inserted at its top before the old
// ones are deleted below them; a jump goes in at rule 1 before the other
// jumps are deleted, by position (TOOL -D OUTPUT N), from the last one up.
// No commands when the listing shows everything in place. Nothing read
// from the listing goes into a command but rule counts and positions; the
// rules are the install's own.
KillSwitchRepair PlanKillSwitchRepair(const std::string& tool,
                                      const std::vector<std::string>& expected_rules,
                                      const KillSwitchListing& listing);
