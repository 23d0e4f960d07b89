#include "approuting/monitor.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "approuting/cgroup_location.h"
#include "approuting/markers.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "approuting/process_events.h"
#include "lifecycle/stop_signal.h"
#include "lifecycle/text_utils.h"

AppRoutingMonitorStats g_app_routing_monitor_stats;

namespace {

// Written by StartAppRoutingMonitor before the thread exists and closed by
// StopAppRoutingMonitor after the join; the thread only polls it.
int g_monitor_wakeup_fd = -1;

using Clock = std::chrono::steady_clock;

constexpr unsigned kPeriodsPerScan = 8;

// What the monitor knows between passes while events flow.
struct MonitorState {
  std::set<std::string> wanted;
  // Every process ID of the last scan, ascending.
  std::vector<int> known;
  // Processes that matched when last checked.
  std::set<int> matched;
};

bool MonitorStopRequested() { return g_app_routing_stop.load() || g_should_stop.load() != 0; }

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void RunFullPass(MonitorState* state) {
  state->known = ListProcessIds();
  std::vector<int> matched;
  RunMembershipPass(state->wanted, state->known, &matched);
  state->matched = std::set<int>(matched.begin(), matched.end());
  ForgetExitedMemberOrigins(state->known);
  g_app_routing_monitor_stats.full_passes.fetch_add(1);
}

// With events, an exec or a new name is seen when it happens; the pass then
// only checks what events do not report. Every period: matched processes
// that someone moved out of the group. Every kPeriodsPerScan periods, since
// listing /proc costs about a microsecond per process: processes new since
// the last scan (one forked and left outside the group before its parent
// was moved, say by a double fork that daemonises it, never execs).
void RunIncrementalPass(MonitorState* state, bool scan_for_new) {
  ResolveAppRoutingCgroupPaths();
  if (scan_for_new) {
    const std::vector<int> current = ListProcessIds();
    std::vector<int> fresh;
    std::set_difference(current.begin(), current.end(), state->known.begin(), state->known.end(),
                        std::back_inserter(fresh));
    for (const int pid : fresh) {
      if (MoveIfWantedProcess(pid, state->wanted)) state->matched.insert(pid);
    }
    state->known = current;
    ForgetExitedMemberOrigins(current);
  }
  const std::vector<int> members =
      ParseProcessIdList(ReadFileToString(g_app_cgroup_fs_dir + kCgroupProcsFile));
  for (auto it = state->matched.begin(); it != state->matched.end();) {
    // A process that exited no longer matches; one whose ID was taken by a
    // wanted program is moved, as the full pass would.
    if (!std::binary_search(members.begin(), members.end(), *it) &&
        !MoveIfWantedProcess(*it, state->wanted)) {
      it = state->matched.erase(it);
    } else {
      ++it;
    }
  }
}

// An event names a process in the initial PID namespace, which is what
// /proc shows here (OpenProcessEvents checks it); it is judged by its /proc
// entry exactly as the pass judges it, so a reused or vanished ID is safe.
void CheckNamedProcesses(const std::vector<int>& process_ids, MonitorState* state) {
  for (const int pid : process_ids) {
    if (MoveIfWantedProcess(pid, state->wanted)) {
      state->matched.insert(pid);
    } else {
      state->matched.erase(pid);
    }
  }
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

}  // namespace

void AppRoutingCgroupMonitor(AppRoutingPolicy policy, AppRoutingMonitorSettings settings) {
  // Stop signals are blocked here already: the thread inherits the mask
  // StartAppRoutingMonitor set around its creation.
  if (MonitorStopRequested()) return;
  MonitorState state;
  state.wanted = BuildWantedNameSet(policy.apps);

  // Subscribed before the first pass, so nothing started in between is
  // missed. Without events the pass stays the whole mechanism.
  int events_fd = -1;
  std::string why_not;
  if (settings.use_process_events && !state.wanted.empty() &&
      !OpenProcessEvents(settings.event_receive_buffer_bytes, &events_fd, &why_not)) {
    events_fd = -1;
  }
  g_app_routing_monitor_stats.uses_process_events.store(events_fd >= 0);
  if (!state.wanted.empty()) RunFullPass(&state);
  g_app_routing_monitor_stats.started.store(true);

  Clock::time_point next_pass = Clock::now() + settings.period;
  unsigned periods = 0;
  std::vector<int> named;
  while (!MonitorStopRequested()) {
    // One wait for the stop notification, the events and the next pass.
    pollfd waits[2] = {{g_monitor_wakeup_fd, POLLIN, 0}, {events_fd, POLLIN, 0}};
    const int ready = poll(waits, 2, MillisecondsUntil(next_pass));
    if (MonitorStopRequested()) break;
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
      // A notification without a stop request is stale; consume it.
      uint64_t count = 0;
      (void)!read(g_monitor_wakeup_fd, &count, sizeof(count));
    }
    if (ready > 0 && events_fd >= 0 && waits[1].revents != 0) {
      named.clear();
      const ProcessEventRead outcome = ReadProcessEvents(events_fd, &named);
      g_app_routing_monitor_stats.events.fetch_add(static_cast<unsigned>(named.size()));
      CheckNamedProcesses(named, &state);
      if (outcome == ProcessEventRead::kOverrun) {
        // Events were dropped: only a full pass knows what they said.
        g_app_routing_monitor_stats.overruns.fetch_add(1);
        RunFullPass(&state);
      } else if (outcome == ProcessEventRead::kFailed) {
        CloseProcessEvents(events_fd);
        events_fd = -1;
        g_app_routing_monitor_stats.uses_process_events.store(false);
        RunFullPass(&state);
      }
    }
    if (Clock::now() >= next_pass) {
      // With no wanted name nothing can match; the pass looks at no process.
      if (!state.wanted.empty() && events_fd >= 0) {
        RunIncrementalPass(&state, ++periods % kPeriodsPerScan == 0);
      } else if (!state.wanted.empty()) {
        RunFullPass(&state);
      }
      next_pass = Clock::now() + settings.period;
    }
  }
  if (events_fd >= 0) CloseProcessEvents(events_fd);
}

bool StartAppRoutingMonitor(const AppRoutingPolicy& policy,
                            const AppRoutingMonitorSettings& settings, std::thread* monitor) {
  // Without the notification a stop is still seen, at the next period.
  g_monitor_wakeup_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_app_routing_monitor_stats.started.store(false);
  g_app_routing_monitor_stats.uses_process_events.store(false);
  g_app_routing_monitor_stats.full_passes.store(0);
  g_app_routing_monitor_stats.overruns.store(0);
  g_app_routing_monitor_stats.events.store(0);
  // A new thread inherits the mask: blocked from its first instruction on,
  // a stop signal can never land on it and leave the wait loop asleep.
  const sigset_t stop_signals = StopSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  bool started = true;
  try {
    *monitor = std::thread(AppRoutingCgroupMonitor, policy, settings);
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started && g_monitor_wakeup_fd >= 0) {
    close(g_monitor_wakeup_fd);
    g_monitor_wakeup_fd = -1;
  }
  return started;
}

void StopAppRoutingMonitor(std::thread* monitor) {
  // The flag first: the monitor checks it whenever its wait ends.
  g_app_routing_stop.exchange(true);
  if (g_monitor_wakeup_fd >= 0) {
    const uint64_t one = 1;
    (void)!write(g_monitor_wakeup_fd, &one, sizeof(one));
  }
  if (monitor->joinable()) monitor->join();
  if (g_monitor_wakeup_fd >= 0) {
    close(g_monitor_wakeup_fd);
    g_monitor_wakeup_fd = -1;
  }
}
