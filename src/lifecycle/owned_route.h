#pragma once

#include <string>
#include <vector>

// A route or a policy rule as the helper writes it into its `ip` commands,
// and the form in which the watch while READY compares it with what the
// kernel lists. A piece that owns routes describes them once in these records; its
// install and delete commands and the watch's repairs are all built from
// them. Every value in one passed its screen where the piece took it
// from (the TUN name, a default route, an address the resolver or inet_pton
// produced); the helper's own numbers and keywords fill the rest.

struct OwnedRoute {
  bool ipv6 = false;
  std::string type;         // "" for an ordinary route, else e.g. "unreachable"
  std::string destination;  // as written: "0.0.0.0/1", "203.0.113.7/32", "default"
  std::string gateway;      // "" on the link; IPv4 may write 0.0.0.0 for the same
  std::string dev;          // "" for a route of a type without a device
  std::string metric;       // "" for the kernel's default
  std::string table;        // "" for the main table
};

// "[TYPE ]DESTINATION[ via GATEWAY][ dev DEV][ metric M][ table T]".
std::string OwnedRouteText(const OwnedRoute& route);
// "ip route ACTION " or "ip -6 route ACTION " and the text.
std::string RouteCommand(const std::string& action, const OwnedRoute& route);
// The same as a line of `ip -batch` ("route ACTION ..."), whose family
// the batch's own -4 or -6 sets.
std::string RouteBatchLine(const std::string& action, const OwnedRoute& route);

struct OwnedRule {
  bool ipv6 = false;
  std::string priority;
  std::string fwmark;
  std::string table;
  std::string ipproto;  // "" for every protocol, else e.g. "icmp"
};

// "fwmark MARK [ipproto PROTOCOL ]lookup TABLE priority PRIORITY".
std::string OwnedRuleText(const OwnedRule& rule);
std::string RuleBatchLine(const std::string& action, const OwnedRule& rule);

// What identifies a route in the kernel's table (its table, type,
// destination and metric, in the forms the kernel lists them), and where it
// leads (gateway and device; nothing for a route of a type without one).
// Two routes with one key cannot both exist: a replace turns one into the
// other.
struct RouteKey {
  bool ipv6 = false;
  std::string table;
  std::string type;
  std::string destination;
  std::string metric;
  bool operator==(const RouteKey& other) const;
  bool operator<(const RouteKey& other) const;
};

// "main" for "", "0.0.0.0/0" or "::/0" for "default", a host address with
// its full length, IPv6 in its shortest form, the family's default metric
// (0, 1024) for "", "unicast" for "".
RouteKey KeyOfRoute(bool ipv6, const std::string& table, const std::string& type,
                    const std::string& destination, const std::string& metric);
RouteKey KeyOfOwnedRoute(const OwnedRoute& route);
std::string CanonicalGateway(bool ipv6, const std::string& gateway);
std::string CanonicalDestination(bool ipv6, const std::string& destination);
