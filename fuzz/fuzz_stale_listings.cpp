// The stale-state listings come from the host's tools; every destination and
// device name taken from them goes into a delete command, so each must be a
// safe word of the owned kind, in both families and both route forms.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "killswitch/safe_token.h"
#include "recovery/stale_listings.h"
#include "routing/ipv4_prefix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const DefaultRouteInfo& default4 :
       {DefaultRouteInfo{"192.168.1.1", "eth0"}, DefaultRouteInfo{"0.0.0.0", "ppp0"}}) {
    for (const std::string& destination : ParseStaleBypassDestinations(text, default4)) {
      FUZZ_CHECK(IsSafeShellToken(destination));
      in_addr address{};
      FUZZ_CHECK(inet_pton(AF_INET, destination.c_str(), &address) == 1 ||
                 !NormalizeIpv4Cidr(destination).empty());
    }
  }
  for (const DefaultRouteInfo& default6 :
       {DefaultRouteInfo{"fe80::1", "eth0"}, DefaultRouteInfo{"", "wwan0"}}) {
    for (const std::string& address : ParseStaleEndpointRoutes6(text, default6)) {
      FUZZ_CHECK(IsSafeShellToken(address));
      in6_addr parsed{};
      FUZZ_CHECK(inet_pton(AF_INET6, address.c_str(), &parsed) == 1);
    }
  }
  const DefaultRouteInfo pinned = ParsePinnedDefaultRoute(text);
  FUZZ_CHECK(pinned.dev.empty() || pinned.dev.find_first_of(" \t\n") == std::string::npos);
  for (const std::string& name : ParseOwnedTunNames(text)) {
    FUZZ_CHECK(IsSafeShellToken(name));
    FUZZ_CHECK(name.rfind("qtun", 0) == 0 || name.rfind("zelmo_vpn-tun", 0) == 0);
    FUZZ_CHECK(name.find_first_of("@:") == std::string::npos);
  }
  return 0;
}
