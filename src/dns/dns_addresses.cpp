#include "dns/dns_addresses.h"

#include <arpa/inet.h>

#include "killswitch/safe_token.h"

namespace {

constexpr size_t kMaxShownItemBytes = 64;

// An item as it may appear in a status line: every byte outside the safe
// set becomes '?', and a long item is cut.
std::string ScreenedItem(const std::string& item) {
  std::string shown;
  for (size_t i = 0; i < item.size() && i < kMaxShownItemBytes; ++i) {
    const unsigned char byte = static_cast<unsigned char>(item[i]);
    shown += IsSafeShellByte(byte) ? static_cast<char>(byte) : '?';
  }
  if (item.size() > kMaxShownItemBytes) shown += "...";
  return shown;
}

std::string ItemError(const std::string& item, const std::string& why) {
  return "invalid --dns address '" + ScreenedItem(item) + "': " + why;
}

// An address a resolver beyond the tunnel cannot have: redirecting lookups
// there would keep them on the host (or send them nowhere).
const char* UnreachableKind(int family, const unsigned char* bytes) {
  if (family == AF_INET) {
    if (bytes[0] == 127) return "a loopback address";
    if (bytes[0] == 0) return "an unspecified address";
    if (bytes[0] >= 224 && bytes[0] <= 239) return "a multicast address";
    return nullptr;
  }
  const struct in6_addr* address = reinterpret_cast<const struct in6_addr*>(bytes);
  if (IN6_IS_ADDR_LOOPBACK(address)) return "a loopback address";
  if (IN6_IS_ADDR_UNSPECIFIED(address)) return "an unspecified address";
  if (IN6_IS_ADDR_MULTICAST(address)) return "a multicast address";
  if (IN6_IS_ADDR_V4MAPPED(address)) return "an IPv4-mapped address; give the IPv4 address";
  return nullptr;
}

// "ADDRESS/LENGTH": worth telling apart from a name, since a client may
// well pass the tunnel's resolver network instead of its address.
bool IsPrefix(const std::string& item) {
  const size_t slash = item.find('/');
  if (slash == std::string::npos || slash + 1 == item.size() ||
      item.find_first_not_of("0123456789", slash + 1) != std::string::npos) {
    return false;
  }
  const std::string address = item.substr(0, slash);
  unsigned char bytes[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, address.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, address.c_str(), bytes) == 1;
}

std::vector<std::string> SplitAtCommas(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

}  // namespace

bool ParseDnsAddresses(const std::string& text, std::vector<std::string>* addresses,
                       std::string* error) {
  addresses->clear();
  if (text.empty()) {
    *error = "invalid --dns value: empty list";
    return false;
  }
  const std::vector<std::string> items = SplitAtCommas(text);
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string& item = items[i];
    if (item.empty()) {
      *error = "invalid --dns value: item " + std::to_string(i + 1) + " is empty";
      return false;
    }
    if (i >= kMaxDnsAddresses) {
      *error = ItemError(item, "more than " + std::to_string(kMaxDnsAddresses) + " addresses");
      return false;
    }
    unsigned char bytes[sizeof(struct in6_addr)];
    const int family = inet_pton(AF_INET, item.c_str(), bytes) == 1    ? AF_INET
                       : inet_pton(AF_INET6, item.c_str(), bytes) == 1 ? AF_INET6
                                                                       : 0;
    if (family == 0) {
      *error = ItemError(item, IsPrefix(item) ? "a prefix, not an address" : "not an IP address");
      return false;
    }
    if (const char* kind = UnreachableKind(family, bytes)) {
      *error = ItemError(item, std::string(kind) + ", not a resolver beyond the tunnel");
      return false;
    }
    char canonical[INET6_ADDRSTRLEN];
    inet_ntop(family, bytes, canonical, sizeof(canonical));
    bool seen = false;
    for (const std::string& kept : *addresses) seen = seen || kept == canonical;
    if (!seen) addresses->push_back(canonical);
  }
  return true;
}

std::string FirstDnsAddressOfFamily(const std::vector<std::string>& addresses, int family) {
  unsigned char bytes[sizeof(struct in6_addr)];
  for (const std::string& address : addresses) {
    if (inet_pton(family, address.c_str(), bytes) == 1) return address;
  }
  return {};
}
