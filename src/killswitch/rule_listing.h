#pragma once

#include <string>
#include <vector>

// Reading back the helper's own firewall rules from "iptables -S CHAIN"
// (or ip6tables) listings, so that a cleanup without memory of the install
// can still delete exactly what is there: a listed rule, given back after
// "-D CHAIN ", names the same rule. Kept beside the kill switch, whose
// screen decides what of a listing may go back into a command; the ICMP
// bypass, app routing and the repairs read their rules through here too.

// The rules of CHAIN in a listing, each without its "-A CHAIN " prefix.
std::vector<std::string> ListedChainRules(const std::string& listing, const std::string& chain);

// Screen for a listed rule that goes back into a shell command as it
// stands: 1 to 2048 bytes of the safe-word set, blanks and "=".
bool IsSafeListedRule(const std::string& rule);

// True when the rule carries "--comment MARKER" as a whole word.
bool HasCommentMarker(const std::string& rule, const std::string& marker);

// The word that follows OPTION ("-i", "-o", ...) in a rule, or empty text.
std::string ListedRuleOption(const std::string& rule, const std::string& option);

// True when an "ip rule show" (or "ip -6 rule show") listing holds a rule
// of PRIORITY that sends packets with FWMARK to TABLE, as
// "1066:	from all fwmark 0x66 lookup 1066".
bool ListsPolicyRule(const std::string& ip_rule_listing, const std::string& priority,
                     const std::string& fwmark, const std::string& table);
