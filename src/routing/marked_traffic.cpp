#include "routing/marked_traffic.h"

#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"
#include "routing/src_valid_mark.h"

// The three rules of one piece, built in one place for install, delete and
// the watch. The device passed the safe-word screen where the caller took
// it from (a default route or the TUN name); mark and marker are the
// helper's own.
std::vector<OwnedFirewallRule> MarkedTrafficOwnedRules(const MarkedTraffic& traffic) {
  const std::string comment = " -m comment --comment " + traffic.marker;
  const std::string marked = " -m mark --mark " + traffic.mark;
  const std::string protocol = traffic.protocol.empty() ? "" : " -p " + traffic.protocol;
  return {
      {"nat", "POSTROUTING",
       "-o " + traffic.device + protocol + marked + comment + " -j MASQUERADE"},
      // Only into a connection nobody has marked yet: other software's
      // connection marks stay as they are.
      {"mangle", "POSTROUTING",
       "-o " + traffic.device + marked + " -m connmark --mark 0x0" + comment +
           " -j CONNMARK --save-mark"},
      {"mangle", "PREROUTING",
       "-i " + traffic.device + " -m connmark --mark " + traffic.mark + comment +
           " -j CONNMARK --restore-mark"},
  };
}

namespace {

std::string ChainCommand(const std::string& tool, const std::string& table,
                         const std::string& action, const std::string& chain) {
  return tool + " -t " + table + " " + action + " " + chain + " ";
}

std::string ListChain(const std::string& tool, const char* table, const char* chain) {
  return ExecCommandOutput(ChainCommand(tool, table, "-S", chain) + "2>/dev/null");
}

// Reverse-path filtering is IPv4's alone; only there must the restored mark
// take part in validating the answers.
bool IsIpv4(const std::string& tool) { return tool == "iptables"; }

}  // namespace

std::vector<std::string> MarkedTrafficInstallCommands(const MarkedTraffic& traffic) {
  std::vector<std::string> commands;
  for (const OwnedFirewallRule& rule : MarkedTrafficOwnedRules(traffic)) {
    commands.push_back(ChainCommand(traffic.tool, rule.table, "-C", rule.chain) + rule.rule +
                       kQuietSuffix + " || " +
                       ChainCommand(traffic.tool, rule.table, "-A", rule.chain) + rule.rule);
  }
  return commands;
}

std::vector<std::string> MarkedTrafficDeleteCommands(const std::string& tool,
                                                     const std::string& marker,
                                                     const MarkedTrafficListings& listings) {
  struct ListedChain {
    const char* table;
    const char* chain;
    const std::string& listing;
  };
  const ListedChain chains[] = {{"nat", "POSTROUTING", listings.nat_postrouting},
                                {"mangle", "POSTROUTING", listings.mangle_postrouting},
                                {"mangle", "PREROUTING", listings.mangle_prerouting}};
  std::vector<std::string> commands;
  for (const ListedChain& chain : chains) {
    for (const std::string& rule : ListedChainRules(chain.listing, chain.chain)) {
      // Screen: the listed rule goes back into the shell as it stands.
      if (!HasCommentMarker(rule, marker) || !IsSafeListedRule(rule)) continue;
      commands.push_back(ChainCommand(tool, chain.table, "-D", chain.chain) + rule + kQuietSuffix);
    }
  }
  return commands;
}

bool ApplyMarkedTraffic(const MarkedTraffic& traffic) {
  bool complete = true;
  for (const std::string& command : MarkedTrafficInstallCommands(traffic)) {
    if (RunShellCommand(command) != 0) complete = false;
  }
  if (IsIpv4(traffic.tool)) RaiseSrcValidMark(traffic.device);
  return complete;
}

void CleanupMarkedTraffic(const std::string& tool, const std::string& marker) {
  const MarkedTrafficListings listings{ListChain(tool, "nat", "POSTROUTING"),
                                       ListChain(tool, "mangle", "POSTROUTING"),
                                       ListChain(tool, "mangle", "PREROUTING")};
  for (const std::string& command : MarkedTrafficDeleteCommands(tool, marker, listings)) {
    RunShellCommand(command);
  }
  if (IsIpv4(tool)) ReleaseSrcValidMarks();
}
