#include "routing/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

ResolvedAddresses ResolveHostAddresses(const std::string& host) {
  ResolvedAddresses addresses;
  if (host.empty()) return addresses;

  // Literals stay exactly as written: they are shown to the client and
  // must match what it configured.
  in6_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    addresses.ipv4.push_back(host);
    return addresses;
  }
  if (inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
    addresses.ipv6.push_back(host);
    return addresses;
  }

  addrinfo hints{};
  hints.ai_flags = AI_ADDRCONFIG;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return addresses;
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (entry->ai_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      if (inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof(text)) != nullptr) {
        addresses.ipv6.push_back(text);
      }
    } else if (entry->ai_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) {
        addresses.ipv4.push_back(text);
      }
    }
  }
  freeaddrinfo(results);
  return addresses;
}
