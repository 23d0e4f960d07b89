// The kill switch reads its uplinks and bridges from the host's route and
// link listings; every name it keeps goes into firewall rules between
// quotes and into shell commands, so each must be a safe word, and no name
// is both an uplink and a local bridge. The uplinks' networks go into
// firewall rules too: each is a canonical prefix of its family.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "fuzz_check.h"
#include "killswitch/guard_devices.h"
#include "killswitch/safe_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<ListedRoute> routes = ParseOneLineRouteListing(text, false);
  KillSwitchDevices devices = KillSwitchDevicesOf(
      UplinkDevices(routes, routes, [](const ListedRoute&) { return false; }), text, "tun0");
  for (const std::string& bridge : devices.bridged_uplinks) {
    FUZZ_CHECK(std::find(devices.uplinks.begin(), devices.uplinks.end(), bridge) !=
               devices.uplinks.end());
  }
  AddOnLinkNetworks(ParseRouteListing(text, false), ParseRouteListing(text, true), &devices);
  for (const int family : {AF_INET, AF_INET6}) {
    for (const std::string& network : family == AF_INET ? devices.on_link4 : devices.on_link6) {
      FUZZ_CHECK(IsSafeShellToken(network));
      const size_t slash = network.find('/');
      unsigned char bytes[sizeof(in6_addr)];
      FUZZ_CHECK(slash != std::string::npos &&
                 inet_pton(family, network.substr(0, slash).c_str(), bytes) == 1);
    }
  }
  for (const std::string& uplink : devices.uplinks) {
    FUZZ_CHECK(IsSafeShellToken(uplink));
    FUZZ_CHECK(uplink != "lo" && uplink != "tun0");
  }
  for (const std::string& bridge : devices.local_bridges) {
    FUZZ_CHECK(IsSafeShellToken(bridge));
    FUZZ_CHECK(bridge.find('@') == std::string::npos && bridge != "tun0");
    FUZZ_CHECK(std::find(devices.uplinks.begin(), devices.uplinks.end(), bridge) ==
               devices.uplinks.end());
  }
  return 0;
}
