#pragma once

// Name lookups follow the tunnel: one nf_tables table of the helper's own
// sends the host's lookups (UDP and TCP port 53), and those it forwards
// for containers and virtual machines, to the resolver the tunnel
// reaches. Everything about it is described here as data, from
// plain inputs, so that the start, the teardown, the cleanup mode and the
// watch while READY build, recognise and remove exactly the same thing:
//
// - the table, its only marker: "table inet zelmo-vpn-dns", made from
//   nothing by one atomic "nft -f -" that replaces any earlier copy, and
//   removed by one "nft delete table";
// - a side effect after both: the port-53 connection-tracking entries the
//   redirect changed are deleted (dns/lookup_flows.h): after the install
//   those it would catch, after the removal those it redirected, so no
//   lookup flow keeps the path it had before (a resolver that reuses its
//   source port would otherwise stay outside the tunnel after the install,
//   or in it after the removal: a redirect lives in its connection's
//   entry, not in the table);
// - in vpnOnlySelected, route_localnet on the TUN device alone, so that a
//   selected program's lookup to a stub resolver on 127.0.0.0/8 may leave
//   through the tunnel with a loopback source (the program's masquerade
//   then gives it the tunnel's address) and its answer come back. The table
//   records the device in its set "route_localnet_raised" when the helper
//   raised the value (it read 0); the removal puts 0 back there. While it
//   records that, a chain of the table drops what arrives through the TUN
//   device for, or from, 127.0.0.0/8: the setting must not open the host's
//   loopback services to the tunnel's far end.

#include <string>
#include <vector>

#include "routing/endpoint.h"

inline constexpr const char* kDnsRedirectTable = "zelmo-vpn-dns";  // family inet

// Which lookups are redirected. Forwarded traffic follows the split
// routes, so forwarded lookups go with the unselected programs'.
enum class DnsLookupScope {
  kAllLookups,     // no policy: all but those to a loopback address; forwarded ones too
  kAllButSelected,  // bypassSelected: the same, less the selected programs' (mark 0x66)
  kSelectedOnly,    // vpnOnlySelected: the selected programs' alone, loopback included
};

struct DnsRedirectInputs {
  std::string tun_name;                // a screened word
  std::vector<std::string> addresses;  // --dns, as ParseDnsAddresses gives them
  // Left alone whatever their port: the tunnel's own transport may use 53.
  ResolvedAddresses endpoint;
  DnsLookupScope scope = DnsLookupScope::kAllLookups;
  // The helper raised route_localnet on the TUN device and records it.
  bool route_localnet_raised = false;
};

// The lines of an nft script that creates the table from nothing (without
// the lines that first remove an earlier copy). Left alone: lookups to a
// --dns address (they reach the tunnel's resolvers as they are) and
// packets to the endpoint; of forwarded ones besides, those from the TUN
// device, to the host itself, or to a neighbour on the network they came
// from. The others in scope go to the first --dns address of their
// family, or, for a family without one, are refused at once (ICMP port
// unreachable, TCP reset) so resolvers move on. The redirected ones leave
// with the tunnel's address, and only through the TUN device: with the
// tunnel gone they are dropped, never sent physically.
std::vector<std::string> DnsRedirectTableLines(const DnsRedirectInputs& inputs);

// The install: one "nft -f -" command, fed the table's lines after the two
// that replace an earlier copy in the same transaction.
std::string DnsRedirectInstallCommand(const DnsRedirectInputs& inputs);
// "nft delete table inet zelmo-vpn-dns", silenced.
std::string DnsRedirectRemoveCommand();

// Lists the table, for what it records: the devices of its set (read
// screened: a name that is not a safe word, or could leave the device
// directory, is left out) and the addresses it redirects to.
std::string DnsRedirectListingCommand();
std::vector<std::string> ParseRouteLocalnetDevices(const std::string& table_listing);
// The redirect of a loopback lookup needs route_localnet: vpnOnlySelected
// with an IPv4 address to redirect to.
bool NeedsRouteLocalnet(const DnsRedirectInputs& inputs);
// /proc/sys/net/ipv4/conf/DEVICE/route_localnet, or empty text for a name
// that is not a safe word or could leave the device directory.
std::string RouteLocalnetPath(const std::string& device);

