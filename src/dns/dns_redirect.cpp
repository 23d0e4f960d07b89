#include "dns/dns_redirect.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "killswitch/safe_token.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

bool WriteValue(const std::string& path, const std::string& value) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  close(fd);
  return written;
}

void FlushLookupEntries() {
  for (const std::string& command : DnsConntrackFlushCommands()) RunShellCommand(command);
}

}  // namespace

bool IsRouteLocalnetOff(const std::string& device) {
  const std::string path = RouteLocalnetPath(device);
  return !path.empty() && Trim(ReadFileToString(path)) == "0";
}

bool RaiseRouteLocalnet(const std::string& device) {
  const std::string path = RouteLocalnetPath(device);
  return !path.empty() && WriteValue(path, "1");
}

bool ApplyDnsRedirect(const DnsRedirectInputs& inputs, std::string* error) {
  // The TUN name comes from the engine configuration and goes into the
  // table's rules and a path: an unsafe one is refused before anything runs.
  if (!IsSafeShellToken(inputs.tun_name) ||
      (inputs.route_localnet_raised && RouteLocalnetPath(inputs.tun_name).empty())) {
    *error = "invalid TUN interface name for name lookups";
    return false;
  }
  if (RunShellCommand(DnsRedirectInstallCommand(inputs)) != 0) {
    *error = std::string("name lookup redirect failed: nft -f - could not install table inet ") +
             kDnsRedirectTable;
    return false;
  }
  FlushLookupEntries();
  // After the table, which records it: killed in between, the helper
  // leaves a record of a value still 0, and writing 0 again is harmless.
  if (inputs.route_localnet_raised && !RaiseRouteLocalnet(inputs.tun_name)) {
    *error = "name lookup redirect failed: cannot set route_localnet on " + inputs.tun_name;
    return false;
  }
  return true;
}

void CleanupDnsRedirect() {
  const std::vector<std::string> raised =
      ParseRouteLocalnetDevices(ExecCommandOutput(RouteLocalnetListingCommand()));
  RunShellCommand(DnsRedirectRemoveCommand());
  // After the table: a lookup that starts in between gets a fresh entry
  // without the redirect, and none made with it outlives the removal.
  FlushLookupEntries();
  for (const std::string& device : raised) WriteValue(RouteLocalnetPath(device), "0");
}
