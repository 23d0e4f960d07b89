#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// One listing of a family's whole firewall, as `iptables-save` (or
// `ip6tables-save`) prints it: every table, its chains and their rules in
// order. The watch while READY reads the firewall once per family this way
// and compares it with what the helper's pieces want.

// A rule of a chain the helper shares with others (a built-in one), as the
// helper writes it after "-A CHAIN ".
struct OwnedFirewallRule {
  std::string table;
  std::string chain;
  std::string rule;
};

struct FirewallTable {
  std::set<std::string> chains;  // every chain the table declares, built-in ones too
  std::map<std::string, std::vector<std::string>> rules;  // without "-A CHAIN "
};

struct FirewallListing {
  // False when the tool could not list the firewall at all: nothing can be
  // judged, so nothing is changed.
  bool readable = false;
  std::map<std::string, FirewallTable> tables;
};

// "TOOL-save 2>/dev/null": the listing command, for ReadListing.
std::string FirewallSaveCommand(const std::string& tool);
// The listing of a command that succeeded (readable set).
FirewallListing ParseFirewallSave(const std::string& text);

// The rules of a chain of a table, empty where the table or chain is not
// listed.
const std::vector<std::string>& ListedRules(const FirewallListing& listing,
                                            const std::string& table, const std::string& chain);
bool ListsChain(const FirewallListing& listing, const std::string& table, const std::string& chain);

// A rule in one comparable form, whether written as the helper writes it or
// as the tool lists it: the tool names defaults the helper leaves out (the
// reject type, the masks of a mark, the protocol's own match module),
// writes a mark as a mark and mask, addresses with their length, ICMPv6
// types as numbers and a cgroup path in quotes.
std::string CanonicalFirewallRule(const std::string& rule);
bool SameFirewallRule(const std::string& a, const std::string& b);
