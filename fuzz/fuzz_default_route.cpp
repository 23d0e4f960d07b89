// The default routes' gateway and device reach ip commands only when the
// record is usable; a usable record must be made of safe words (its gateway
// may be absent: an uplink without one), and every command form built from
// it must be too.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "killswitch/safe_token.h"
#include "lifecycle/text_utils.h"
#include "routing/default_route.h"
#include "routing/route_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const DefaultRouteInfo v4 = ParseProcNetRoute(text);
  if (!v4.gateway.empty()) {
    in_addr address{};
    FUZZ_CHECK(inet_pton(AF_INET, v4.gateway.c_str(), &address) == 1);
  }
  const DefaultRouteInfo v6 = ParseIpv6DefaultRoute(text);
  for (const DefaultRouteInfo& route : {v4, v6, ParseListedNextHop(text)}) {
    if (IsUsableDefaultRoute(route)) {
      FUZZ_CHECK(route.gateway.empty() || IsSafeShellToken(route.gateway));
      FUZZ_CHECK(IsSafeShellToken(route.dev));
      for (const std::string& word : SplitWords(DefaultRouteNextHop(route))) {
        FUZZ_CHECK(IsSafeShellToken(word));
      }
    }
  }
  return 0;
}
