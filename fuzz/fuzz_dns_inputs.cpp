// The --dns value comes from the client and goes into a status line and an
// nft script; the table's set listing comes from the host and names
// devices whose route_localnet is written and the addresses it redirects
// to; the connection-tracking listing names flows deleted by their tuple.
// Whatever any of them holds, only canonical addresses, safe bytes and safe
// device names come out.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dns/dns_addresses.h"
#include "dns/dns_redirect_table.h"
#include "dns/lookup_flows.h"
#include "fuzz_check.h"
#include "killswitch/safe_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> addresses;
  std::string error;
  if (ParseDnsAddresses(text, &addresses, &error)) {
    FUZZ_CHECK(error.empty() && !addresses.empty() && addresses.size() <= kMaxDnsAddresses);
    for (const std::string& address : addresses) {
      unsigned char bytes[sizeof(in6_addr)];
      char again[INET6_ADDRSTRLEN];
      const int family = address.find(':') == std::string::npos ? AF_INET : AF_INET6;
      FUZZ_CHECK(inet_pton(family, address.c_str(), bytes) == 1);
      FUZZ_CHECK(address == inet_ntop(family, bytes, again, sizeof(again)));
    }
  } else {
    for (const char byte : error) {
      FUZZ_CHECK(IsSafeShellByte(static_cast<unsigned char>(byte)) ||
                 std::string(" ',?").find(byte) != std::string::npos);
    }
  }
  for (const std::string& target : ParseRedirectTargets(text)) FUZZ_CHECK(IsSafeShellToken(target));
  for (const std::string& command : LookupFlowDeleteCommands(ParseLookupFlows(text))) {
    // Every word the flows put there, between the feed's quotes.
    const std::string lines = command.substr(0, command.find(" | conntrack -R -"));
    for (const char byte : lines) {
      FUZZ_CHECK(IsSafeShellByte(static_cast<unsigned char>(byte)) ||
                 std::string(" '%\\").find(byte) != std::string::npos);
    }
  }
  for (const std::string& device : ParseRouteLocalnetDevices(text)) {
    FUZZ_CHECK(IsSafeShellToken(device) && device.find('/') == std::string::npos);
    FUZZ_CHECK(device != "." && device != "..");
  }
  return 0;
}
