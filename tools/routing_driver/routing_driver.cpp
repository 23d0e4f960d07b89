// Test-only driver: calls the tunnel routing operations directly with
// argument sets a namespace test chooses (unsafe or empty TUN names, two
// endpoint addresses, a missing IPv6 route), so it can check the exact
// commands and the routes they leave.
//
//   routing_driver apply|cleanup TUN ENDPOINT GW4 DEV4 GW6 DEV6 ADDR4S ADDR6S PREFIXES
//   routing_driver icmp-apply|icmp-cleanup GW4 DEV4
//   routing_driver default4|default6
//
// Lists are comma-separated; empty items are dropped. default4/default6
// print "via=GATEWAY dev=DEVICE" as read from the host; icmp-apply prints
// why the bypass was left out, if it was.

#include <iostream>
#include <string>
#include <vector>

#include "routing/default_route.h"
#include "routing/icmp_bypass.h"
#include "routing/tun_routes.h"
#include "split_csv.h"

namespace {

int Usage() {
  std::cerr << "usage: routing_driver apply|cleanup TUN ENDPOINT GW4 DEV4 GW6 DEV6 ADDR4S ADDR6S "
               "PREFIXES\n"
               "       routing_driver icmp-apply|icmp-cleanup GW4 DEV4\n"
               "       routing_driver default4|default6\n";
  return 2;
}

void PrintRoute(const DefaultRouteInfo& route) {
  std::cout << "via=" << route.gateway << " dev=" << route.dev << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "default4") {
    PrintRoute(ReadDefaultRoute());
    return 0;
  }
  if (args.size() == 1 && args[0] == "default6") {
    PrintRoute(ReadDefaultRouteV6());
    return 0;
  }
  if (args.size() == 3 && (args[0] == "icmp-apply" || args[0] == "icmp-cleanup")) {
    const DefaultRouteInfo default4{args[1], args[2]};
    if (args[0] == "icmp-apply") {
      const IcmpBypassResult result = ApplyIcmpBypass(default4);
      if (result != IcmpBypassResult::kInstalled) {
        std::cout << IcmpBypassSkipReason(result) << std::endl;
      }
    } else {
      CleanupIcmpBypass(default4);
    }
    return 0;
  }
  if (args.size() != 10 || (args[0] != "apply" && args[0] != "cleanup")) return Usage();
  const DefaultRouteInfo default4{args[3], args[4]};
  const DefaultRouteInfo default6{args[5], args[6]};
  ResolvedAddresses endpoint;
  endpoint.ipv4 = SplitCsv(args[7]);
  endpoint.ipv6 = SplitCsv(args[8]);
  const std::vector<std::string> prefixes = SplitCsv(args[9]);
  if (args[0] == "apply") {
    ApplyTunRoutes(args[1], args[2], default4, default6, endpoint, prefixes);
  } else {
    CleanupTunRoutes(args[1], args[2], default4, default6, endpoint, prefixes, true);
  }
  return 0;
}
