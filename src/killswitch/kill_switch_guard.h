#pragma once

#include <string>
#include <vector>

#include "killswitch/kill_switch_commands.h"
#include "routing/endpoint.h"

// The kill switch's guard: a firewall table of the helper's own, beside the
// chain. A jump from filter OUTPUT can be outranked by any rule before it;
// a base chain cannot: every base chain on a hook sees every packet, and
// an accept in another one does not stop a drop in this one. So the guard
// keeps the chain's promise whatever other programs do to their chains, and
// extends it to traffic the host forwards (containers, virtual machines, a
// shared connection), which never passes OUTPUT:
//
// - output: the chain's own rules (the device of the packet's first route),
//   rejecting what they do not admit, so a local program still gets its
//   immediate error when another program's rule accepted before the chain;
// - forward: a forwarded packet leaving through an uplink must be for the
//   endpoint or a bypass prefix, or answer a connection that came in
//   through an uplink; others are rejected;
// - postrouting: the device a packet really leaves by, after a mark or a
//   redirect re-routed it (OUTPUT sees only the first route): through an
//   uplink leaves only what goes to the endpoint or a bypass prefix,
//   answers as above, the selected programs' marked traffic where a policy
//   steers programs, and the host's own upkeep (DHCP, router and neighbour
//   discovery); the rest is dropped, since nothing can be rejected there;
// - prerouting: labels the connections that come in through an uplink, so
//   their answers are told apart from those of a connection that came in
//   through the tunnel (which must not leave physically once it is gone).

// The table's name is its marker: later runs, the cleanup mode and the
// watch find it by this name alone.
inline constexpr const char* kKillSwitchGuardTable = "zelmo-vpn-killswitch";

// The guard's complete wanted state for INPUTS (whose TUN name passed the
// screen): the lines of an nft script that builds the table from nothing,
// each exactly as "nft list table" lists it, without its indentation. The
// inputs' lookup targets are the resolver addresses to which the
// name-lookup redirect sends the host's lookups (the destination a first
// route judged physical was rewritten to them): they pass the output chain.
std::vector<std::string> KillSwitchGuardLines(const KillSwitchInputs& inputs);

// One command that replaces any table of that name by LINES in a single
// transaction: no moment without a guard, and none with two.
std::string KillSwitchGuardInstallCommand(const std::vector<std::string>& lines);
// Removes the table, whatever it holds; quiet when there is none.
std::string KillSwitchGuardCleanupCommand();


// The exit status the shell gives a command it cannot find: the install's
// status when nft is not installed.
inline constexpr int kCommandNotFoundStatus = 127;
