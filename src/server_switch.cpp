#include "server_switch.h"

#include <net/if.h>

#include <algorithm>

#include "killswitch/safe_token.h"
#include "lifecycle/engine_request.h"
#include "lifecycle/status_line.h"
#include "lifecycle/stop_signal.h"
#include "lifecycle/text_utils.h"
#include "routing/endpoint.h"
#include "routing/engine_config.h"
#include "watch/keep_in_place.h"
#include "watch/network_view.h"
#include "watch/watch_while_ready.h"

namespace {

constexpr size_t kMaxConfigurationBytes = 64 * 1024 * 1024;
// The new server's name gets this long to resolve; a stop ends the wait.
constexpr int kSwitchLookupMs = 5000;

bool StopRequested() { return g_should_stop.load() != 0; }

SwitchOutcome Refuse(const std::string& why) {
  PrintStatusLine("ERROR: cannot switch servers: " + why + "; nothing changed");
  return SwitchOutcome::kRefused;
}

// What the configuration names now.
struct NextServer {
  std::string tun_name;
  std::string host;
  ResolvedAddresses addresses;
};

std::vector<std::string> Joined(std::vector<std::string> addresses,
                                const std::vector<std::string>& more) {
  for (const std::string& address : more) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  return addresses;
}

std::vector<std::string> Without(const std::vector<std::string>& addresses,
                                 const std::vector<std::string>& kept) {
  std::vector<std::string> left;
  for (const std::string& address : addresses) {
    if (std::find(kept.begin(), kept.end(), address) == kept.end()) left.push_back(address);
  }
  return left;
}

// One look at everything: the watch brings the host to what the plan now
// wants, from what it reads back, in its one repair path.
void LookNow(TunnelRun* run) {
  KeepInPlace(&run->plan, &run->watch, {true, true, true}, WatchClockMs());
}

// The server the run now uses, and the one it left: the latter's pins and
// admission go with the next look, unless it is the same address.
void MoveToServer(const NextServer& next, const ResolvedAddresses& left, TunnelPlan* plan) {
  plan->endpoint = next.addresses;
  plan->retired_endpoint.ipv4 = Without(left.ipv4, next.addresses.ipv4);
  plan->retired_endpoint.ipv6 = Without(left.ipv6, next.addresses.ipv6);
}

// The TUN device as the watch last saw it: the new one (or none), so that
// the look after the switch tells no device gone or back; the ERROR or
// READY line says what happened.
void SeeDevice(TunnelRun* run) {
  NetworkView& view = run->watch.view;
  view.tun_ifindex = run->plan.tun_ifindex;
  view.tun_addresses_read = false;
  if (view.tun_ifindex != 0) ReadTunAddresses(run->plan.tun_name, &view);
}

}  // namespace

SwitchOutcome SwitchServers(const CommandLine& command_line, TunnelRun* run) {
  TunnelPlan& plan = run->plan;
  // 1. What the configuration names now. A failure here changes nothing.
  const std::string config_text =
      ReadRegularFileToString(command_line.config_path, kMaxConfigurationBytes);
  if (Trim(config_text).empty()) return Refuse("the configuration cannot be read");
  NextServer next;
  next.tun_name = ExtractTunName(config_text);
  next.host = ExtractProxyAddress(config_text);
  if (next.tun_name.empty()) return Refuse("the configuration names no TUN device");
  if (next.host.empty()) return Refuse("the configuration names no server");
  // The name goes unquoted into commands and rules, and must fit a device.
  if (!IsSafeShellToken(next.tun_name) || next.tun_name.size() >= IFNAMSIZ) {
    return Refuse("invalid TUN interface name");
  }
  next.addresses = ResolveHostAddressesWithin(next.host, kSwitchLookupMs);
  if (StopRequested()) return SwitchOutcome::kStopped;
  if (next.addresses.ipv4.empty() && next.addresses.ipv6.empty()) {
    return Refuse("the server's name does not resolve");
  }

  // 2. Both servers admitted and pinned while the old engine still runs.
  const ResolvedAddresses left = plan.endpoint;
  plan.endpoint.ipv4 = Joined(left.ipv4, next.addresses.ipv4);
  plan.endpoint.ipv6 = Joined(left.ipv6, next.addresses.ipv6);
  // A block that judged while the run had no tunnel goes dormant in the
  // same look: the kill switch stands throughout.
  plan.block_active = false;
  LookNow(run);
  if (StopRequested()) return SwitchOutcome::kStopped;

  // 3. The old engine stops, the new request starts, in this process.
  if (run->steps.engine) {
    StopEngine(run->engine);
    run->steps.engine = false;
  }
  if (StopRequested()) return SwitchOutcome::kStopped;
  plan.tun_name = next.tun_name;
  plan.endpoint_host = next.host;
  // The split routes follow a device whose name is a safe word (the
  // start leaves them out for one that is not).
  plan.tun_routes = !(plan.policy.enabled && plan.policy.mode == "vpnOnlySelected");
  const std::string request = BuildEngineRequest(command_line.data_dir, command_line.config_path);
  const EngineStartResult started = StartEngine(run->engine, Base64Encode(request));
  run->steps.engine = started.success;
  plan.tun_ifindex = started.success ? ReadTunIndex(plan.tun_name) : 0;
  MoveToServer(next, left, &plan);
  SeeDevice(run);
  // Without a tunnel the run's block judges beside the kill switch.
  plan.block_active = plan.lockdown && !started.success;

  // 4. Everything follows the new device and server; the old server goes.
  LookNow(run);
  plan.retired_endpoint = ResolvedAddresses{};
  if (!started.success) {
    const std::string why =
        started.null_response ? "libXray returned null response" : started.response;
    PrintStatusLine("ERROR: switch failed, no tunnel until the next switch: " + why);
    return SwitchOutcome::kNoTunnel;
  }
  if (StopRequested()) return SwitchOutcome::kStopped;
  PrintTunnelLines(plan);
  PrintTunAddresses(plan.tun_name);
  PrintStatusLine("READY");
  return SwitchOutcome::kSwitched;
}
