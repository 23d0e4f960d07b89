#pragma once

// The difference between what the host should hold and what it lists, as
// the commands that make the one the other: lines for `ip -batch` per
// family (routes and policy rules), for `iptables-restore --noflush` per
// family (one transaction per table), the `nft -f -` commands that make a
// table of the helper's own again whole, and the kernel settings to write.
// Only what is missing is added and only the helper's own entries that
// should not be there are removed; a firewall rule is deleted by what it
// says, never by a position read earlier, and a chain or table is rewritten
// within one transaction, so no kill switch or guard is ever without effect
// while it is repaired.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "killswitch/firewall_save.h"
#include "lifecycle/route_listing.h"
#include "watch/wanted_state.h"

// An nft table as a look listed it (lifecycle/nft_table_commands.h).
struct ListedNftTable {
  bool listed = false;  // false where nft lists no such table, or no nft at all
  std::vector<std::string> lines;
};

// What a look read. A kind it did not read is not judged: nothing of it is
// added or removed.
struct HostListings {
  bool routes_read = false;
  std::vector<ListedRoute> routes4;
  std::vector<ListedRoute> routes6;
  bool rules_read = false;
  std::vector<ListedRule> rules4;
  std::vector<ListedRule> rules6;
  // Not readable where the tool could not list it or it was not read.
  FirewallListing firewall4;
  FirewallListing firewall6;
  // The wanted tables of the helper's own, by "FAMILY NAME"; read with the
  // firewall.
  bool nft_read = false;
  std::map<std::string, ListedNftTable> nft_tables;
  // Kernel settings by path, as read: empty text where there is none.
  std::map<std::string, std::string> settings;
  // "ip -o link show type bridge", where the kill switch judges by the
  // local bridges; read with the routes.
  std::string bridges;
};

// How the helper last made a table of its own: the command, and the table
// as nft listed it right afterwards (or, at the first look, as the start
// left it).
struct NftBaseline {
  std::string install_command;
  std::vector<std::string> lines;
};

// What the repair is judged by beyond the wanted state and the listings.
struct RepairContext {
  // The listed entries the helper may remove (owned_pieces.h).
  std::function<bool(const ListedRoute&)> owned_route;
  std::function<bool(const ListedRule&, bool ipv6)> owned_rule;
  // By "FAMILY NAME".
  std::map<std::string, NftBaseline> nft_baselines;
  // Whether a piece found out of place is left as it is for now (its pause
  // runs), given the pieces found out of place so far: the helper's own
  // tables are judged first, so a covering piece is known before the piece
  // it covers.
  std::function<bool(const WantedPiece&, const std::set<std::string>& broken)> held;
};

struct RepairPlan {
  std::vector<std::string> batch4;
  std::vector<std::string> batch6;
  std::vector<std::string> restore4;
  std::vector<std::string> restore6;
  std::vector<WantedNftTable> nft_installs;
  std::map<std::string, std::string> setting_writes;  // path and value
  // The pieces made again that have something to run after (WantedPiece).
  std::set<std::string> after_made;
  // Pieces found missing or out of place; of them, those held back and so
  // left as they are for now.
  std::set<std::string> broken;
  std::set<std::string> held;
};

// "FAMILY NAME", the key of a table in the listings and baselines.
std::string NftTableKey(const WantedNftTable& table);

RepairPlan PlanRepair(const WantedState& wanted, const HostListings& host,
                      const RepairContext& context);
