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
//   through the tunnel (which must not leave physically once it is gone);
// - with --allow-lan, the output chain and what leaves through an uplink
//   admit the local network last (local_network.h).
//
// Where an uplink is a bridge and br_netfilter hands bridged frames to these
// hooks (as container engines have it), a frame one virtual machine on the
// bridge sends another, or the local network's router, shows the bridge as
// both its input and output device, exactly like a packet the host routes
// out through the bridge. What tells them apart is where the frame was
// addressed: a frame the host routes was sent to the host's own link
// address, a bridged one to another's (or to all). Only the bridge's own
// hooks see that, before br_netfilter takes it over, and they have no
// connection to write it to; so the guard's bridge table marks such a frame,
// and the table's chain "bridged", right after connection tracking, turns
// the mark into connection label 126 on an uplink bridge and clears it.
// Forward and postrouting let such a connection stay on its bridge.

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

// The guard's table in the bridge family, of the same name, with the one
// chain that marks frames bridged to another's link address; the same for
// every run, as "nft list table" lists it. Wanted where an uplink is a
// bridge; once made it stays until the guard goes (its marks, unused, are
// cleared all the same).
bool WantsKillSwitchBridgeTable(const KillSwitchInputs& inputs);
std::vector<std::string> KillSwitchBridgeTableLines();

// One command that replaces any table of that name by LINES in a single
// transaction: no moment without a guard, and none with two.
std::string KillSwitchGuardInstallCommand(const std::vector<std::string>& lines);
// The same for the bridge table; and the start's: the guard for INPUTS,
// with the bridge table where it is wanted, in one transaction.
std::string KillSwitchBridgeTableInstallCommand();
std::string KillSwitchGuardStartCommand(const KillSwitchInputs& inputs);
// Removes the table, whatever it holds; quiet when there is none. Then
// the bridge table.
std::string KillSwitchGuardCleanupCommand();
std::string KillSwitchBridgeTableCleanupCommand();

// The rules of the guard's chain "upkeep": the host's own upkeep of its
// network (DHCP and DHCPv6 to the servers' broadcast or group and to the
// uplinks' networks in DEVICES, router and neighbour discovery), which the
// lockdown block admits too.
std::vector<std::string> KillSwitchUpkeepRules(const KillSwitchDevices& devices);


// The exit status the shell gives a command it cannot find: the install's
// status when nft is not installed.
inline constexpr int kCommandNotFoundStatus = 127;
