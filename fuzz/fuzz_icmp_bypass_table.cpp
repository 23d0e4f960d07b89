// The listing of routing table 100 comes from the host: a table judged free
// (or, without memory of the run, owned) is one the ICMP bypass may take
// over and empty again, so every route in it must be a default route of
// the bypass's shape, over the given default route when there is one.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "routing/icmp_bypass.h"
#include "routing/route_line.h"

namespace {

void CheckOnlyDefaultRoutes(const std::string& text, const DefaultRouteInfo* over) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) continue;
    FUZZ_CHECK(first == "default");
    if (over != nullptr) FUZZ_CHECK(ListsNextHopOf(line, *over));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The first line doubles as the rule listing.
  const std::string rules = text.substr(0, text.find('\n'));
  for (const DefaultRouteInfo& default4 :
       {DefaultRouteInfo{"192.0.2.1", "eth0"}, DefaultRouteInfo{"0.0.0.0", "ppp0"}}) {
    if (IsIcmpBypassTableFree(text, default4)) CheckOnlyDefaultRoutes(text, &default4);
  }
  if (IsIcmpBypassTableOwned(text, rules)) CheckOnlyDefaultRoutes(text, nullptr);
  const DefaultRouteInfo route = ParseIcmpBypassTableRoute(text);
  if (!route.dev.empty()) FUZZ_CHECK(IsIcmpBypassTableFree(text, route));
  return 0;
}
