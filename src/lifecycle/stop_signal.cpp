#include "lifecycle/stop_signal.h"

static_assert(std::atomic<std::sig_atomic_t>::is_always_lock_free,
              "the stop flag must be usable from a signal handler");

std::atomic<std::sig_atomic_t> g_should_stop{0};

void HandleSignal(int) { g_should_stop.store(1); }

void InstallStopSignalHandlers() {
  std::signal(SIGINT, HandleSignal);
  std::signal(SIGTERM, HandleSignal);
}
