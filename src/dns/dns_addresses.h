#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

// The resolver addresses of --dns: literal IPv4 and IPv6 addresses that the
// tunnel reaches, at most this many.
inline constexpr size_t kMaxDnsAddresses = 8;

// Splits the comma-separated value into addresses in their canonical text
// (inet_ntop form, duplicates dropped, order kept). False, with one short
// message naming the bad item, for an empty list, an empty item, a name, a
// prefix, more than kMaxDnsAddresses items, or an address that no resolver
// beyond the tunnel can have (loopback, unspecified, multicast, IPv4-mapped).
// The message carries the item screened: only safe bytes, so it can be
// printed as a status line whatever the client passed.
bool ParseDnsAddresses(const std::string& text, std::vector<std::string>* addresses,
                       std::string* error);

// The first address of the family (AF_INET or AF_INET6) in the list, or
// empty text: where lookups of that family are redirected.
std::string FirstDnsAddressOfFamily(const std::vector<std::string>& addresses, int family);
