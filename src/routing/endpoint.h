#pragma once

#include <string>
#include <vector>

struct ResolvedAddresses {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
};

ResolvedAddresses ResolveHostAddresses(const std::string& host);

// The same for a lookup after READY, which must never hold up a stop: the
// resolver runs on a thread of its own, and the wait for it ends after
// bound_ms, or at once when a stop is requested (g_should_stop, woken
// through g_stop_wakeup_fd), with the empty record. A lookup still running
// then finishes on its thread and is dropped.
ResolvedAddresses ResolveHostAddressesWithin(const std::string& host, int bound_ms);
