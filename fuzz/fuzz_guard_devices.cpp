// The kill switch reads its uplinks and bridges from the host's route and
// link listings; every name it keeps goes into firewall rules between
// quotes and into shell commands, so each must be a safe word, and no name
// is both an uplink and a local bridge.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "killswitch/guard_devices.h"
#include "killswitch/safe_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<ListedRoute> routes = ParseOneLineRouteListing(text, false);
  const KillSwitchDevices devices = KillSwitchDevicesOf(
      UplinkDevices(routes, routes, [](const ListedRoute&) { return false; }), text, "tun0");
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
