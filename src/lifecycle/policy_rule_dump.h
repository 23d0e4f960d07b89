#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lifecycle/owned_route.h"

// The policy rules of one family as the kernel holds them, asked over
// rtnetlink (one RTM_GETRULE dump) without running a command: a start that
// looks for a killed run's rules and finds none runs exactly the commands
// it would run without the question. A dump needs no capability.

struct DumpedRule {
  uint32_t priority = 0;
  uint32_t fwmark = 0;
  uint32_t fwmask = 0;  // 0 with no fwmark selector
  uint32_t table = 0;
  uint8_t action = 0;    // FR_ACT_TO_TBL for "lookup TABLE"
  uint8_t ip_proto = 0;  // 0: any protocol
  // Anything else it selects by (source, destination, devices, ports, user
  // range, type of service, "not", a suppressor): a rule that holds more is
  // not one the helper wrote.
  bool other_selectors = false;
};

// The request bytes: one RTM_GETRULE dump request for FAMILY (AF_INET or
// AF_INET6) with sequence number SEQUENCE.
std::string PolicyRuleDumpRequest(uint8_t family, uint32_t sequence);

enum class RuleDumpProgress {
  kMore,    // the buffer held part of the dump: read on
  kDone,    // the dump ended (NLMSG_DONE)
  kFailed,  // an error answer or a malformed buffer
};

// Appends the rules one buffer of replies to the request SEQUENCE holds;
// messages of other requests are passed over.
RuleDumpProgress ParsePolicyRuleDump(const void* data, size_t length, uint32_t sequence,
                                     std::vector<DumpedRule>* rules);

// The dump itself, on a netlink socket of its own that waits a second at
// most for each part. False when the kernel's answer is incomplete or
// missing: the caller cannot tell which rules exist and must not conclude
// that there are none.
bool DumpPolicyRules(uint8_t family, std::vector<DumpedRule>* rules);

// Whether a dumped rule is the helper's rule OWNED: nothing more selected,
// a lookup of its table, its exact mark with the full mask, and either no
// protocol or ALSO_PROTOCOL (0 for none).
bool DumpedRuleIs(const DumpedRule& dumped, const OwnedRule& owned, uint8_t also_protocol);
bool HoldsRule(const std::vector<DumpedRule>& rules, const OwnedRule& owned, uint8_t also_protocol);
