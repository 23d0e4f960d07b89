#pragma once

// The lockdown block: a firewall table of the helper's own that keeps the
// kill switch's promise while no run stands (between connections, after a
// crash, from boot until the first connect). It lasts until --unblock
// removes it; a run with the kill switch takes it over. Everything about
// it is described here as data, from plain inputs, so that every mode
// builds, recognises and removes exactly the same thing:
//
// - the table, its only marker: "table inet zelmo-vpn-block", made from
//   nothing by one atomic "nft -f -" that replaces any earlier copy (like
//   the guard), and removed by one "nft delete table";
// - nothing leaves the host, whether it sends it or forwards it, except
//   through loopback and the local bridges that are no uplink, the host's
//   upkeep of its network (the guard's own rules: DHCP, DHCPv6, router
//   and neighbour discovery) and, with --allow-lan, the local network.
//   No device is trusted as the tunnel's: the block knows no tunnel, and
//   it judges every device but those, uplinks or not, which it need not
//   know (at boot there are none yet).
//
// Its chains judge like the guard's: the output chain by the device of a
// packet's first route, rejecting, so a program gets its error at once;
// the forward chain what the host forwards, rejecting too; the postrouting
// chain by the device a packet really leaves by (after a mark re-routed
// it), dropping, since nothing can be rejected there.

#include <string>
#include <vector>

inline constexpr const char* kLockdownBlockTable = "zelmo-vpn-block";  // family inet

struct LockdownBlockInputs {
  // Bridges that are no uplink (guard_devices.h), read when the block is
  // made: a bridge made later is refused until the block is made again.
  std::vector<std::string> local_bridges;
  // The uplinks' networks (guard_devices.h), read when the block is made:
  // the host's DHCP reaches a server there, or by broadcast, as under the
  // kill switch. At boot there are none yet, and a lease is renewed by
  // broadcast.
  std::vector<std::string> on_link4;
  std::vector<std::string> on_link6;
  bool allow_lan = false;  // --allow-lan (local_network.h)
  // The table stands but judges nothing ("flags dormant": its base chains
  // are not on their hooks). A run that will leave the block keeps it so
  // while it carries the tunnel: a run killed then leaves it, and the
  // cleanup mode wakes it before it takes the kill switch away.
  bool dormant = false;
};

// The block's complete wanted state: the lines of an nft script that builds
// the table from nothing, each exactly as "nft list table" lists it,
// without its indentation. Bridge names that are no safe word get no rule.
std::vector<std::string> LockdownBlockLines(const LockdownBlockInputs& inputs);

// One command that replaces any table of that name by LINES in a single
// transaction: no moment without the block, and never two.
std::string LockdownBlockInstallCommand(const std::vector<std::string>& lines);
// The block as the host has it; fails when there is none.
std::string LockdownBlockListCommand();
// Removes the table, whatever it holds; quiet when there is none.
std::string LockdownBlockRemoveCommand();
// Wakes a dormant block as it stands, whatever it was made with.
std::string LockdownBlockWakeCommand();
