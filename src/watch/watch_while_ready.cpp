#include "watch_while_ready.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "lifecycle/route_events.h"
#include "lifecycle/stop_signal.h"
#include "watch/keep_in_place.h"

namespace {

// What the loop has seen since it last acted.
struct PendingWork {
  bool burst = false;
  int64_t first_ms = 0;
  int64_t last_ms = 0;
  bool network = false;
  LookKinds kinds;
};

void NoteMessage(int64_t now_ms, PendingWork* pending) {
  if (!pending->burst) pending->first_ms = now_ms;
  pending->burst = true;
  pending->last_ms = now_ms;
}

// The earliest of the deadlines that are set (-1: none), as a ppoll timeout.
bool NextTimeout(int64_t now_ms, int64_t deadline_ms, timespec* timeout) {
  if (deadline_ms < 0) return false;
  const int64_t left = std::max<int64_t>(0, deadline_ms - now_ms);
  timeout->tv_sec = static_cast<time_t>(left / 1000);
  timeout->tv_nsec = static_cast<long>((left % 1000) * 1000000);
  return true;
}

// A firewall change alone is one transaction whose messages come
// together: the pieces are looked at almost at once, since a kill switch
// taken away leaks until then. A network change waits for its burst.
int64_t ActionTime(const PendingWork& pending) {
  if (pending.network) return BurstActionTime(pending.first_ms, pending.last_ms);
  return std::min(pending.last_ms + kPiecesQuietMs, pending.first_ms + kBurstLimitMs);
}

int64_t EarliestDeadline(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace

int64_t WatchClockMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t BurstActionTime(int64_t first_message_ms, int64_t last_message_ms) {
  return std::min(last_message_ms + kBurstQuietMs, first_message_ms + kBurstLimitMs);
}

WatchEnd WatchWhileReady(TunnelPlan* plan, WatchState* state, const std::vector<ExtraWatch>& extra,
                         int* switches_seen) {
  // From the check of the flags until ppoll the stop and switch signals are
  // blocked, and ppoll unblocks them atomically: one that comes after the
  // check still ends the wait at once. Outside that window they stay
  // unblocked, since the tools started meanwhile inherit the mask.
  sigset_t run_signals;
  sigemptyset(&run_signals);
  sigaddset(&run_signals, SIGINT);
  sigaddset(&run_signals, SIGTERM);
  sigaddset(&run_signals, SIGHUP);
  sigset_t outside;
  pthread_sigmask(SIG_BLOCK, nullptr, &outside);
  sigset_t inside = outside;
  sigdelset(&inside, SIGINT);
  sigdelset(&inside, SIGTERM);
  sigdelset(&inside, SIGHUP);
  // Signals delivered to another thread reach the wait through these.
  const int wakeup_fd = g_stop_wakeup_fd.load();
  const int switch_fd = g_switch_wakeup_fd.load();
  const int route_fd = OpenRouteEvents();

  constexpr size_t kFirstExtra = 3;
  std::vector<pollfd> waits = {{wakeup_fd, POLLIN, 0}, {switch_fd, POLLIN, 0}, {route_fd, POLLIN, 0}};
  for (const ExtraWatch& watch : extra) waits.push_back({watch.fd, POLLIN, 0});
  pollfd& route_wait = waits[2];

  state->firewall_events = std::any_of(extra.begin(), extra.end(),
                                       [](const ExtraWatch& watch) { return watch.firewall; });
  // Whatever changed while the start (or a switch) was installing counts as
  // a burst already under way: the first look, at everything, comes at once.
  PendingWork pending;
  pending.network = true;
  pending.kinds = {true, true, true};
  NoteMessage(WatchClockMs() - kBurstQuietMs, &pending);
  int64_t keep_deadline = -1;
  // Without routing notifications (a kernel that refuses the socket, or a
  // socket that failed) the network is looked at every so often instead.
  constexpr int64_t kLookWithoutEventsMs = 2000;

  WatchEnd end = WatchEnd::kStop;
  for (;;) {
    pthread_sigmask(SIG_BLOCK, &run_signals, nullptr);
    if (g_should_stop.load() != 0) break;
    if (g_switch_requests.load() != *switches_seen) {
      *switches_seen = g_switch_requests.load();
      end = WatchEnd::kSwitch;
      break;
    }
    const int64_t now_ms = WatchClockMs();
    if (route_wait.fd < 0 && !pending.burst) {
      pending.network = true;
      pending.kinds = {true, true, true};
      NoteMessage(now_ms + kLookWithoutEventsMs - kBurstQuietMs, &pending);
    }
    const int64_t burst_deadline = pending.burst ? ActionTime(pending) : -1;
    timespec timeout{};
    const bool timed =
        NextTimeout(now_ms, EarliestDeadline(burst_deadline, keep_deadline), &timeout);
    for (pollfd& wait : waits) wait.revents = 0;
    const int ready = ppoll(waits.data(), waits.size(), timed ? &timeout : nullptr, &inside);
    pthread_sigmask(SIG_SETMASK, &outside, nullptr);
    if (g_should_stop.load() != 0) break;

    const int64_t woke_ms = WatchClockMs();
    if (ready > 0) {
      if ((route_wait.revents & (POLLHUP | POLLNVAL)) != 0) route_wait.fd = -1;
      if (route_wait.revents != 0) {
        // POLLERR here is an overrun, which the drain reads and reports.
        const RouteEventSummary events = DrainRouteEvents(route_fd);
        if (events.links || events.addresses || events.routes || events.overrun) {
          pending.network = true;
          pending.kinds.routes = true;
          NoteMessage(woke_ms, &pending);
        }
        if (events.rules || events.overrun) {
          pending.kinds.rules = true;
          NoteMessage(woke_ms, &pending);
        }
      }
      for (size_t i = 0; i < extra.size(); ++i) {
        const short revents = waits[i + kFirstExtra].revents;
        if (revents == 0) continue;
        const bool concerned = extra[i].drain(extra[i].fd);
        // A descriptor that failed would wake the wait for ever: it is left
        // out from now on (the checks' own deadline still comes), and the
        // firewall is then looked at periodically. POLLERR on a netlink
        // socket is an overrun, which the drain has read away.
        if ((revents & (POLLHUP | POLLNVAL)) != 0) {
          waits[i + kFirstExtra].fd = -1;
          if (extra[i].firewall) state->firewall_events = false;
        }
        // Changes to tables the helper does not use wake nothing.
        if (!concerned) continue;
        pending.kinds.firewall = true;
        NoteMessage(woke_ms, &pending);
      }
      for (const size_t wakeup : {size_t{0}, size_t{1}}) {
        if (waits[wakeup].revents == 0) continue;
        uint64_t count = 0;
        (void)!read(waits[wakeup].fd, &count, sizeof(count));
      }
    }

    if (pending.burst && woke_ms >= ActionTime(pending)) {
      keep_deadline = KeepInPlace(plan, state, pending.kinds, WatchClockMs());
      pending = PendingWork{};
    } else if (keep_deadline >= 0 && woke_ms >= keep_deadline) {
      // A piece held back by its pause, a repair to try again, or the
      // periodic look where the firewall announces nothing.
      keep_deadline = KeepInPlace(plan, state, {false, true, true}, woke_ms);
    }
  }

  if (route_fd >= 0) close(route_fd);
  pthread_sigmask(SIG_SETMASK, &outside, nullptr);
  return end;
}
