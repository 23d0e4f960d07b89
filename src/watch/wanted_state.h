#pragma once

// What the host should hold for the run as the network is now, as data. The
// watch computes it afresh at each look and compares it with what it reads
// back; the pieces' own descriptions (their owned routes, rules, chains and
// tables, the same ones the start installs from) fill it.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lifecycle/owned_route.h"
#include "tunnel_plan.h"
#include "watch/network_view.h"

// A whole chain of the helper's own, its rules in order.
struct WantedChain {
  std::string table;
  std::string chain;
  std::vector<std::string> rules;
};

// A rule in a chain the helper shares with others (a built-in one). The
// rules of one chain stand in the order of the pieces, those marked first
// before any other rule of the chain.
struct WantedChainRule {
  std::string table;
  std::string chain;
  std::string rule;
  bool first = false;
};

// A firewall table of the helper's own (nft), made whole by one command in
// one transaction that replaces any earlier copy. It is listed back with
// "nft list table FAMILY NAME"; nft lists a table in its own words, so it is
// in place while it lists as it did right after the helper made it.
struct WantedNftTable {
  std::string family;  // "inet"
  std::string name;
  std::string install_command;
};

// One piece the run keeps while READY, beyond its routes: what the client is
// told it put back, what it is made of (each part compared with its own
// listing and made again by the repair), what its absence means and what
// runs after it is made again.
struct WantedPiece {
  std::string name;  // as the status lines name it
  // Without it traffic leaves outside the tunnel, so it is never held back
  // for long (watch/pacing.h) ...
  bool absence_leaks = false;
  // ... unless the piece named here stands meanwhile and keeps the same
  // promise (the kill switch's guard, for the chain and its jump).
  std::string covered_by;
  std::vector<OwnedRule> rules;  // policy rules, of either family
  bool ipv6 = false;             // the family of its chains and chain rules
  std::vector<WantedChain> chains;
  std::vector<WantedChainRule> chain_rules;
  std::vector<WantedNftTable> nft_tables;
  // Run after each time it is made again (it cannot fail).
  std::function<void()> after_made;
};

struct WantedState {
  std::vector<OwnedRoute> routes;  // put back without a line and without a pause
  std::vector<WantedPiece> pieces;
  // Devices where answers to marked IPv4 traffic arrive (src_valid_mark).
  std::set<std::string> marked_devices;
  // Kernel settings held at a value (their /proc/sys path and the value),
  // judged by reading them back at each look.
  std::map<std::string, std::string> settings;
  bool icmp_bypass = false;
};

// `icmp_table_free`: routing table 100 holds nothing of another owner, so
// the ICMP bypass may use it. `kernel_ipv6`: the kernel carries IPv6.
WantedState WantState(const TunnelPlan& plan, const NetworkView& view, bool icmp_table_free,
                      bool kernel_ipv6);

// The src_valid_mark markers wanted on top, one piece per device in the set.
void WantSrcValidMarkMarkers(const std::set<std::string>& devices, WantedState* wanted);

// Each piece's wanted state as one text: a piece whose text is the same at
// two looks and is found gone was taken away; one whose text changed
// follows the network.
std::string PieceText(const WantedPiece& piece);
const WantedPiece* FindPiece(const WantedState& wanted, const std::string& name);
// Whether traffic leaks while the piece is away: its own attribute, unless
// the piece that covers it is wanted and not among `not_standing`.
bool LeaksWhileAbsent(const WantedPiece& piece, const WantedState& wanted,
                      const std::set<std::string>& not_standing);
