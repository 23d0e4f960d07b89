#include "lifecycle/stop_signal.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "lifecycle/status_line.h"

static_assert(std::atomic<std::sig_atomic_t>::is_always_lock_free,
              "the stop flag must be usable from a signal handler");

std::atomic<std::sig_atomic_t> g_should_stop{0};
std::atomic<std::sig_atomic_t> g_stop_signal{0};
std::atomic<int> g_stop_wakeup_fd{-1};
std::atomic<int> g_switch_requests{0};
std::atomic<int> g_switch_wakeup_fd{-1};

namespace {

// Caught rather than ignored: an ignored SIGPIPE is inherited by every tool
// the helper starts through the shell (the writer of "iptables -S | grep -q"
// would then get write errors instead of ending quietly), while a caught one
// is reset to its default at exec.
void HandleBrokenPipe(int) {}

void SetHandler(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // SA_ONSTACK: the engine library may run threads of its own on small
  // stacks with an alternate signal stack, and the signal can land there.
  // SA_RESTART: a signal must not cut short a read of a command's output or
  // the wait for it; the wait loop's nanosleep still returns at once.
  action.sa_flags = SA_ONSTACK | SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

namespace {

void Wake(const std::atomic<int>& wakeup) {
  const int wakeup_fd = wakeup.load();
  if (wakeup_fd < 0) return;
  const int saved_errno = errno;
  const uint64_t one = 1;
  (void)!write(wakeup_fd, &one, sizeof(one));
  errno = saved_errno;
}

}  // namespace

void HandleSignal(int signal_number) {
  std::sig_atomic_t none = 0;
  g_stop_signal.compare_exchange_strong(none, signal_number);
  g_should_stop.store(1);
  Wake(g_stop_wakeup_fd);
}

void HandleSwitchSignal(int) {
  g_switch_requests.fetch_add(1);
  // Its own wake-up: a bounded lookup polls the stop's and leaves it
  // unread for the watch, which a switch request must not make it spin on.
  Wake(g_switch_wakeup_fd);
}

void InstallSwitchSignalHandler() { SetHandler(SIGHUP, HandleSwitchSignal); }

void OpenSignalWakeups() {
  if (g_stop_wakeup_fd.load() < 0) g_stop_wakeup_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (g_switch_wakeup_fd.load() < 0) {
    g_switch_wakeup_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  }
}

void InstallStopSignalHandlers() {
  SetHandler(SIGINT, HandleSignal);
  SetHandler(SIGTERM, HandleSignal);
  SetHandler(SIGPIPE, HandleBrokenPipe);
}

int PendingStopSignal() {
  if (g_should_stop.load() != 0) {
    const int signal_number = g_stop_signal.load();
    return signal_number != 0 ? signal_number : SIGTERM;
  }
  if (g_status_line_failed.load()) return SIGPIPE;
  return 0;
}

void EndBySignal(int signal_number) {
  SetHandler(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  // Sent to this thread, so it is delivered before raise() returns.
  raise(signal_number);
  _exit(128 + signal_number);
}
