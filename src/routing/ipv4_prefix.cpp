#include "routing/ipv4_prefix.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <set>

#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"

namespace {

// A valid prefix is at most 18 bytes of digits, dots and one slash, so this
// cap never drops one; it only keeps junk short before it is parsed.
constexpr size_t kMaxBypassItemLength = 32;

bool IsDecimalDigits(const std::string& text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

}  // namespace

std::string NormalizeIpv4Cidr(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return {};
  if (text.find('/', slash + 1) != std::string::npos) return {};
  const std::string address_text = text.substr(0, slash);
  const std::string length_text = text.substr(slash + 1);
  if (length_text.size() > 2 || !IsDecimalDigits(length_text)) return {};
  const int length = std::stoi(length_text);
  if (length > 32) return {};

  in_addr address{};
  if (inet_pton(AF_INET, address_text.c_str(), &address) != 1) return {};
  const uint32_t mask = length == 0 ? 0 : (0xFFFFFFFFu << (32 - length));
  address.s_addr &= htonl(mask);

  char formatted[16] = {};
  if (inet_ntop(AF_INET, &address, formatted, sizeof(formatted)) == nullptr) return {};
  return std::string(formatted) + "/" + std::to_string(length);
}

std::vector<std::string> ParseIpv4CidrsCsv(const std::string& csv) {
  std::vector<std::string> prefixes;
  std::set<std::string> taken;
  size_t start = 0;
  // A trailing comma ends the last item instead of opening an empty one.
  while (start < csv.size()) {
    size_t comma = csv.find(',', start);
    if (comma == std::string::npos) comma = csv.size();
    const std::string item = Trim(csv.substr(start, comma - start));
    start = comma + 1;
    // Items end up in route and firewall commands: only safe words go on.
    if (item.size() > kMaxBypassItemLength || !IsSafeShellToken(item)) continue;
    const std::string prefix = NormalizeIpv4Cidr(item);
    if (prefix.empty() || !taken.insert(prefix).second) continue;
    prefixes.push_back(prefix);
  }
  return prefixes;
}
