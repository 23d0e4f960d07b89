#include "lifecycle/owned_route.h"

#include <arpa/inet.h>

#include <tuple>

#include "lifecycle/text_utils.h"

namespace {

std::string Family(bool ipv6) { return ipv6 ? "ip -6 " : "ip "; }

}  // namespace

std::string OwnedRouteText(const OwnedRoute& route) {
  std::string text = route.type.empty() ? "" : route.type + " ";
  text += route.destination;
  if (!route.gateway.empty()) text += " via " + route.gateway;
  if (!route.dev.empty()) text += " dev " + route.dev;
  if (!route.metric.empty()) text += " metric " + route.metric;
  if (!route.table.empty()) text += " table " + route.table;
  return text;
}

std::string RouteCommand(const std::string& action, const OwnedRoute& route) {
  return Family(route.ipv6) + "route " + action + " " + OwnedRouteText(route);
}

std::string RouteBatchLine(const std::string& action, const OwnedRoute& route) {
  return "route " + action + " " + OwnedRouteText(route);
}

std::string OwnedRuleText(const OwnedRule& rule) {
  const std::string protocol = rule.ipproto.empty() ? "" : " ipproto " + rule.ipproto;
  return "fwmark " + rule.fwmark + protocol + " lookup " + rule.table + " priority " + rule.priority;
}

std::string RuleBatchLine(const std::string& action, const OwnedRule& rule) {
  return "rule " + action + " " + OwnedRuleText(rule);
}

bool RouteKey::operator==(const RouteKey& other) const {
  return std::tie(ipv6, table, type, destination, metric) ==
         std::tie(other.ipv6, other.table, other.type, other.destination, other.metric);
}

bool RouteKey::operator<(const RouteKey& other) const {
  return std::tie(ipv6, table, type, destination, metric) <
         std::tie(other.ipv6, other.table, other.type, other.destination, other.metric);
}

std::string CanonicalGateway(bool ipv6, const std::string& gateway) {
  if (gateway.empty()) return gateway;
  unsigned char bytes[sizeof(in6_addr)];
  char text[INET6_ADDRSTRLEN];
  const int family = ipv6 ? AF_INET6 : AF_INET;
  if (inet_pton(family, gateway.c_str(), bytes) != 1 ||
      inet_ntop(family, bytes, text, sizeof(text)) == nullptr) {
    return gateway;
  }
  // A route "via 0.0.0.0" is a route on the link; the kernel lists it so.
  if (!ipv6 && std::string(text) == "0.0.0.0") return {};
  return text;
}

std::string CanonicalDestination(bool ipv6, const std::string& destination) {
  if (destination == "default") return ipv6 ? "::/0" : "0.0.0.0/0";
  const size_t slash = destination.find('/');
  const std::string address = destination.substr(0, slash);
  const std::string length =
      slash == std::string::npos ? (ipv6 ? "128" : "32") : destination.substr(slash + 1);
  unsigned char bytes[sizeof(in6_addr)];
  char text[INET6_ADDRSTRLEN];
  const int family = ipv6 ? AF_INET6 : AF_INET;
  if (length.size() > 3 || !IsAllDigits(length) ||
      inet_pton(family, address.c_str(), bytes) != 1 ||
      inet_ntop(family, bytes, text, sizeof(text)) == nullptr) {
    return destination;
  }
  return std::string(text) + "/" + std::to_string(std::stoi(length));
}

RouteKey KeyOfRoute(bool ipv6, const std::string& table, const std::string& type,
                    const std::string& destination, const std::string& metric) {
  RouteKey key;
  key.ipv6 = ipv6;
  key.table = table.empty() ? "main" : table;
  key.type = type.empty() ? "unicast" : type;
  key.destination = CanonicalDestination(ipv6, destination);
  key.metric = metric.empty() ? (ipv6 ? "1024" : "0") : metric;
  return key;
}

RouteKey KeyOfOwnedRoute(const OwnedRoute& route) {
  return KeyOfRoute(route.ipv6, route.table, route.type, route.destination, route.metric);
}
