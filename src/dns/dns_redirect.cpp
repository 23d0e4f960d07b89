#include "dns/dns_redirect.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "dns/lookup_flows.h"
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

// Lists the port-53 flows and deletes those CHANGED names.
void DeleteLookupFlows(const std::function<bool(const LookupFlow&)>& changed) {
  std::vector<LookupFlow> doomed;
  for (const std::string& listing : LookupFlowListingCommands()) {
    for (const LookupFlow& flow : ParseLookupFlows(ExecCommandOutput(listing))) {
      if (changed(flow)) doomed.push_back(flow);
    }
  }
  for (const std::string& command : LookupFlowDeleteCommands(doomed)) RunShellCommand(command);
}

}  // namespace

bool IsRouteLocalnetOff(const std::string& device) {
  const std::string path = RouteLocalnetPath(device);
  return !path.empty() && Trim(ReadFileToString(path)) == "0";
}

void DeleteFlowsTheRedirectCatches(const DnsRedirectInputs& inputs) {
  DeleteLookupFlows([&inputs](const LookupFlow& flow) { return WouldBeRedirected(flow, inputs); });
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
  DeleteFlowsTheRedirectCatches(inputs);
  // After the table, which records it: killed in between, the helper
  // leaves a record of a value still 0, and writing 0 again is harmless.
  if (inputs.route_localnet_raised && !RaiseRouteLocalnet(inputs.tun_name)) {
    *error = "name lookup redirect failed: cannot set route_localnet on " + inputs.tun_name;
    return false;
  }
  return true;
}

void CleanupDnsRedirect() {
  // What the table records, read before it goes: the devices whose
  // route_localnet it raised, the addresses it redirects to.
  const std::string listing = ExecCommandOutput(DnsRedirectListingCommand());
  const std::vector<std::string> raised = ParseRouteLocalnetDevices(listing);
  const std::vector<std::string> targets = ParseRedirectTargets(listing);
  RunShellCommand(DnsRedirectRemoveCommand());
  // After the table: a lookup that starts in between gets a fresh entry
  // without the redirect, and none made with it outlives the removal.
  if (!targets.empty()) {
    DeleteLookupFlows([&targets](const LookupFlow& flow) { return IsRedirectedFlow(flow, targets); });
  }
  for (const std::string& device : raised) WriteValue(RouteLocalnetPath(device), "0");
}
