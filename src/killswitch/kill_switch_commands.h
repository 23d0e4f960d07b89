#pragma once

#include <string>
#include <vector>

#include "killswitch/guard_devices.h"
#include "routing/endpoint.h"

// What the kill switch is built from; the run fills it from its plan.
struct KillSwitchInputs {
  std::string tun_name;  // passed the screen before any command is built
  ResolvedAddresses endpoint;
  std::vector<std::string> bypass_prefixes;
  // The IPv6 chain even without an IPv6 endpoint address.
  bool want_ipv6 = false;
  // The packets of the app-routing group (mark 0x66) pass as well.
  bool allow_app_mark = false;
  // ... and may leave through an uplink (bypassSelected). A tunnel-only
  // program's packets never do: the guard's table drops them there, so they
  // stay in when the policy's rule or the app guard is gone.
  bool app_mark_to_uplinks = false;
  // Uplinks and local bridges (guard_devices.h): the host reaches its
  // bridges; forwarded traffic must not leave through an uplink.
  KillSwitchDevices devices;
  // Name lookups redirected to these addresses pass (--dns; kill_switch_lookups.h).
  std::vector<std::string> lookup_targets;
  // The local network passes (--allow-lan; local_network.h).
  bool allow_lan = false;
};

// The chain name is the kill switch's only marker on the host: later runs
// and the cleanup mode find the chain again by this name alone.
extern const char kKillSwitchChain[];

// The chain's rules of one family, in order, as "-A CHAIN" takes them: the
// install builds the chain from them and the watch while READY compares
// the host's chain with them.
std::vector<std::string> KillSwitchIpv4Rules(const KillSwitchInputs& inputs);
std::vector<std::string> KillSwitchIpv6Rules(const KillSwitchInputs& inputs);

// Ordered command texts of one apply, per family, for a TUN name that has
// already passed the screen. Entries that are not addresses (or, for the
// bypass list, not IPv4 prefixes) get no rule.
std::vector<std::string> BuildKillSwitchIpv4Commands(const KillSwitchInputs& inputs);
std::vector<std::string> BuildKillSwitchIpv6Commands(const KillSwitchInputs& inputs);
// IPv6 gets a chain when the caller asks for it (the run mode does whenever
// the kernel has IPv6: a default route may appear at any time, and a
// multipath one must not be missed) or the endpoint has an IPv6 address.
bool WantsIpv6KillSwitch(const KillSwitchInputs& inputs);
// The input of one "iptables-restore --noflush" (or ip6tables-restore) that
// replaces a family's kill switch in one transaction: the chain made, or
// emptied, and filled with RULES, the LISTED_JUMPS jumps of OUTPUT to it
// deleted and one put first. A start that takes over a killed run's kill
// switch writes it so: no moment without one, and never two jumps.
std::vector<std::string> BuildKillSwitchReplaceLines(const std::vector<std::string>& rules,
                                                     size_t listed_jumps);
// How many jumps to the chain filter OUTPUT holds in an iptables-save text.
size_t CountKillSwitchJumps(const std::string& firewall_save);
// Both families' hooks and chains, the guard's table (kill_switch_guard.h),
// then any further jump and the chain it kept.
std::vector<std::string> BuildKillSwitchCleanupCommands();
