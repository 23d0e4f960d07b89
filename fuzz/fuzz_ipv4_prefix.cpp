// Bypass prefixes go unquoted into ip and iptables commands.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "killswitch/safe_token.h"
#include "routing/ipv4_prefix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string canonical = NormalizeIpv4Cidr(text);
  if (!canonical.empty()) {
    FUZZ_CHECK(IsSafeShellToken(canonical));
    FUZZ_CHECK(NormalizeIpv4Cidr(canonical) == canonical);
  }
  for (const std::string& prefix : ParseIpv4CidrsCsv(text)) {
    FUZZ_CHECK(IsSafeShellToken(prefix));
    FUZZ_CHECK(NormalizeIpv4Cidr(prefix) == prefix);
  }
  return 0;
}
