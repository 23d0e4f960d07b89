#include "routing/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "lifecycle/stop_signal.h"

namespace {

// Lookups that outlived their wait and still block in the resolver. A
// resolver that never answers keeps each for its whole timeout; past this
// many a further lookup is not started, so a network that keeps changing
// cannot pile up threads.
constexpr int kMaxLookupsInFlight = 4;
std::atomic<int> g_lookups_in_flight{0};

// Shared by the caller and the lookup's thread, which may outlive the call:
// whichever lets go last frees it and closes the descriptor.
struct PendingLookup {
  std::string host;
  ResolvedAddresses addresses;
  // Set once `addresses` is complete; the eventfd below then wakes the caller.
  std::atomic<bool> done{false};
  int done_fd = -1;
  ~PendingLookup() {
    if (done_fd >= 0) close(done_fd);
  }
};

void LookUp(std::shared_ptr<PendingLookup> lookup) {
  lookup->addresses = ResolveHostAddresses(lookup->host);
  lookup->done.store(true, std::memory_order_release);
  const uint64_t one = 1;
  (void)!write(lookup->done_fd, &one, sizeof(one));
  g_lookups_in_flight.fetch_sub(1);
}

}  // namespace

ResolvedAddresses ResolveHostAddresses(const std::string& host) {
  ResolvedAddresses addresses;
  if (host.empty()) return addresses;

  // Literals stay exactly as written: they are shown to the client and
  // must match what it configured.
  in6_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    addresses.ipv4.push_back(host);
    return addresses;
  }
  if (inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
    addresses.ipv6.push_back(host);
    return addresses;
  }

  addrinfo hints{};
  hints.ai_flags = AI_ADDRCONFIG;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return addresses;
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (entry->ai_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      if (inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof(text)) != nullptr) {
        addresses.ipv6.push_back(text);
      }
    } else if (entry->ai_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) {
        addresses.ipv4.push_back(text);
      }
    }
  }
  freeaddrinfo(results);
  return addresses;
}

ResolvedAddresses ResolveHostAddressesWithin(const std::string& host, int bound_ms) {
  in6_addr literal{};
  if (host.empty() || inet_pton(AF_INET, host.c_str(), &literal) == 1 ||
      inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
    return ResolveHostAddresses(host);
  }
  if (g_should_stop.load() != 0) return {};
  auto lookup = std::make_shared<PendingLookup>();
  lookup->host = host;
  lookup->done_fd = eventfd(0, EFD_CLOEXEC);
  if (lookup->done_fd < 0) return {};
  if (g_lookups_in_flight.fetch_add(1) >= kMaxLookupsInFlight) {
    g_lookups_in_flight.fetch_sub(1);
    return {};
  }
  try {
    std::thread(LookUp, lookup).detach();
  } catch (const std::system_error&) {
    g_lookups_in_flight.fetch_sub(1);
    return {};
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  for (;;) {
    // The stop handler sets the flag before it writes the wake-up, so a
    // signal that comes after this check still ends the poll below. The
    // wake-up is left unread for the watch to see.
    if (g_should_stop.load() != 0) return {};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd waits[2] = {{lookup->done_fd, POLLIN, 0}, {g_stop_wakeup_fd.load(), POLLIN, 0}};
    // Without a wake-up descriptor a signal delivered to another thread is
    // seen within a slice.
    const int slice_ms = waits[1].fd >= 0 ? static_cast<int>(left.count())
                                          : std::min<int>(static_cast<int>(left.count()), 50);
    const int ready = poll(waits, 2, slice_ms);
    if (ready < 0 && errno != EINTR) return {};
    if (lookup->done.load(std::memory_order_acquire)) return lookup->addresses;
  }
}
