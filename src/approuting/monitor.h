#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "approuting/policy.h"

struct AppRoutingMonitorSettings {
  // The membership pass: the whole mechanism without process events, the
  // safety net beside them.
  std::chrono::milliseconds period{750};
  // The safety net's period while process events flow: they report every
  // exec and new name as it happens, so the pass only catches what they
  // cannot (a process moved out of the group, a double fork that never
  // execs), and a READY helper with nothing changing stays asleep.
  std::chrono::milliseconds period_with_events{5000};
  bool use_process_events = true;
  int event_receive_buffer_bytes = 1 << 20;
};

// What the running monitor has done; for diagnostics and the test driver.
struct AppRoutingMonitorStats {
  // Set once the monitor has subscribed (or not) and made its first pass.
  std::atomic<bool> started{false};
  std::atomic<bool> uses_process_events{false};
  std::atomic<unsigned> full_passes{0};
  std::atomic<unsigned> overruns{0};
  // Processes named by exec and command-name events.
  std::atomic<unsigned> events{0};
};
extern AppRoutingMonitorStats g_app_routing_monitor_stats;

// Thread body: moves the selected applications' processes into the group
// when they exec or take a selected name, and by a pass every period,
// until g_app_routing_stop or the helper's stop flag is set.
void AppRoutingCgroupMonitor(AppRoutingPolicy policy, AppRoutingMonitorSettings settings);

// Starts the monitor thread with the stop signals blocked in it, so they
// always reach the main thread's wait loop. False when no thread can be had.
bool StartAppRoutingMonitor(const AppRoutingPolicy& policy,
                            const AppRoutingMonitorSettings& settings, std::thread* monitor);
// Sets g_app_routing_stop, wakes the monitor and joins it (if it runs).
// The monitor must be gone before app routing is removed, or a late pass
// could move the handed-back processes into the group again.
void StopAppRoutingMonitor(std::thread* monitor);
