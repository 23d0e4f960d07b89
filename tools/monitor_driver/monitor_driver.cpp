// Test-only driver: runs the app-routing monitor alone, so that its process
// events can be tested and measured where the kernel offers them (the
// machine's initial network and PID namespaces).
//
// It only ever creates the app-routing group, runs the monitor, hands the
// members back and removes the group. It runs no command: never the apply
// or the cleanup, whose route, rule and firewall commands would reach the
// machine's own network. It refuses to run unless it sits at the root of a
// private cgroup namespace with cgroup v2 mounted at /sys/fs/cgroup.
//
//   monitor_driver probe
//       "events" when process events can be had here, else
//       "no events: REASON" (exit status 3).
//   monitor_driver run --apps A,B [--period-ms N] [--receive-buffer BYTES] [--no-events]
//       Prints "READY events=yes|no" after the first pass. SIGUSR1 stalls
//       the monitor thread ("STALLED"), SIGUSR2 lets it go ("RELEASED");
//       SIGTERM stops it, hands the members back, removes the group and
//       prints "STOPPED full_passes=N overruns=N".
//   monitor_driver latency --app NAME --program PATH --starts N --spacing-ms N
//                          [--no-events | --floor]
//       Starts PATH (a copy of sleep named NAME) N times and prints
//       "moved_ms X" per start: from the spawn until it is in the group.
//       With --floor no monitor runs: the driver moves each program itself
//       right after its spawn, which leaves the kernel's own cost.
//   monitor_driver hold --apps A,B --seconds N [--no-events]
//       Prints "cpu_percent X": the driver's CPU over N seconds of running
//       monitor, in percent of one core, and "events_per_second X": the
//       processes named by the events it handled (the machine's execs).

#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "approuting/cgroup_location.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"
#include "approuting/monitor.h"
#include "approuting/process_events.h"
#include "lifecycle/text_utils.h"
#include "split_csv.h"

extern char** environ;

namespace {

std::atomic<int> g_stall_entered{0};
std::atomic<int> g_stall_released{0};

// Runs on the monitor thread: holds it, wherever it is, until released,
// so that events pile up in its socket as if it had fallen behind.
void HoldMonitorThread(int) {
  g_stall_entered.store(1);
  while (g_stall_released.load() == 0) {
    timespec step{0, 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  g_stall_entered.store(0);
}

int Fail(const std::string& message) {
  fprintf(stderr, "monitor_driver: %s\n", message.c_str());
  return 1;
}

double NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double OwnCpuMs() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return used.tv_sec * 1e3 + used.tv_nsec / 1e6;
}

void SleepMs(double milliseconds) {
  timespec step{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(static_cast<long long>(milliseconds * 1e6) % 1000000000)};
  nanosleep(&step, nullptr);
}

// The guard of the rule this driver runs under: a cgroup namespace of its
// own (not the initial one, whose inode number the kernel fixes), this
// process at its root, and cgroup v2 mounted at /sys/fs/cgroup.
bool InPrivateCgroupNamespace() {
  char own_namespace[64] = {};
  const ssize_t length = readlink("/proc/self/ns/cgroup", own_namespace, sizeof(own_namespace) - 1);
  struct statfs mounted {};
  return length > 0 && std::string(own_namespace) != "cgroup:[4026531835]" &&
         ProcessCgroupDir(ReadFileToString("/proc/self/cgroup")) == "/sys/fs/cgroup" &&
         statfs("/sys/fs/cgroup", &mounted) == 0 && mounted.f_type == CGROUP2_SUPER_MAGIC;
}

std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) continue;
    const bool takes_value = arg != "--no-events" && arg != "--floor";
    options[arg.substr(2)] = takes_value && i + 1 < argc ? argv[++i] : "";
  }
  return options;
}

struct MonitorRun {
  AppRoutingPolicy policy;
  AppRoutingMonitorSettings settings;
  std::thread thread;
};

MonitorRun DescribeRun(const std::map<std::string, std::string>& options, const std::string& apps) {
  MonitorRun run;
  run.policy.enabled = true;
  run.policy.mode = "bypassSelected";
  run.policy.apps = SplitCsv(apps);
  if (options.count("period-ms")) {
    run.settings.period = std::chrono::milliseconds(std::atol(options.at("period-ms").c_str()));
  }
  if (options.count("receive-buffer")) {
    run.settings.event_receive_buffer_bytes = std::atoi(options.at("receive-buffer").c_str());
  }
  run.settings.use_process_events = options.count("no-events") == 0;
  return run;
}

bool StartRun(MonitorRun* run, std::string* error) {
  if (!EnsureAppRoutingCgroup(error)) return false;
  if (!StartAppRoutingMonitor(run->policy, run->settings, &run->thread)) {
    *error = "no monitor thread";
    return false;
  }
  while (!g_app_routing_monitor_stats.started.load()) SleepMs(1);
  return true;
}

void FinishRun(MonitorRun* run) {
  StopAppRoutingMonitor(&run->thread);
  HandBackAppCgroupMembers();
  ForgetMemberOrigins();
  rmdir(g_app_cgroup_fs_dir.c_str());
}

int Probe() {
  int socket_fd = -1;
  std::string why_not;
  if (!OpenProcessEvents(4096, &socket_fd, &why_not)) {
    printf("no events: %s\n", why_not.c_str());
    return 3;
  }
  CloseProcessEvents(socket_fd);
  printf("events\n");
  return 0;
}

int Run(const std::map<std::string, std::string>& options) {
  if (!options.count("apps")) return Fail("run needs --apps");
  sigset_t controls;
  sigemptyset(&controls);
  for (int signal_number : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&controls, signal_number);
  // Blocked before the thread starts, so all of them wait for sigwait here.
  pthread_sigmask(SIG_BLOCK, &controls, nullptr);
  struct sigaction hold {};
  hold.sa_handler = HoldMonitorThread;
  sigaction(SIGRTMIN, &hold, nullptr);

  MonitorRun run = DescribeRun(options, options.at("apps"));
  std::string error;
  if (!StartRun(&run, &error)) return Fail(error);
  printf("READY events=%s\n", g_app_routing_monitor_stats.uses_process_events.load() ? "yes" : "no");
  fflush(stdout);
  for (;;) {
    int signal_number = 0;
    if (sigwait(&controls, &signal_number) != 0) continue;
    if (signal_number == SIGUSR1) {
      g_stall_released.store(0);
      pthread_kill(run.thread.native_handle(), SIGRTMIN);
      while (g_stall_entered.load() == 0) SleepMs(1);
      printf("STALLED\n");
    } else if (signal_number == SIGUSR2) {
      g_stall_released.store(1);
      while (g_stall_entered.load() != 0) SleepMs(1);
      printf("RELEASED\n");
    } else {
      break;
    }
    fflush(stdout);
  }
  FinishRun(&run);
  printf("STOPPED full_passes=%u overruns=%u\n", g_app_routing_monitor_stats.full_passes.load(),
         g_app_routing_monitor_stats.overruns.load());
  return 0;
}

struct Started {
  pid_t pid;
  double spawned_ms;
};

int Latency(const std::map<std::string, std::string>& options) {
  for (const char* required : {"app", "program", "starts", "spacing-ms"}) {
    if (!options.count(required)) return Fail(std::string("latency needs --") + required);
  }
  MonitorRun run = DescribeRun(options, options.at("app"));
  std::string error;
  // The floor: no monitor; the driver moves each program itself as soon as
  // its spawn returns (after the exec), so only the kernel's move is left.
  const bool floor = options.count("floor") > 0;
  if (floor ? !EnsureAppRoutingCgroup(&error) : !StartRun(&run, &error)) return Fail(error);
  const int starts = std::atoi(options.at("starts").c_str());
  const double spacing_ms = std::atof(options.at("spacing-ms").c_str());
  const std::string program = options.at("program");
  char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("60"), nullptr};
  std::vector<Started> pending;
  std::vector<double> moved_ms;
  const double first_start = NowMs();
  int spawned = 0;
  // Starts are spaced so that they fall at every phase of the pass period;
  // each one is watched until its cgroup is the group.
  while (spawned < starts || !pending.empty()) {
    const double now = NowMs();
    if (spawned < starts && now >= first_start + spawned * spacing_ms) {
      pid_t pid = -1;
      const double before = NowMs();
      if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return Fail("cannot start " + program);
      }
      if (floor) WriteCgroupMember(g_app_cgroup_fs_dir, std::to_string(pid));
      pending.push_back({pid, before});
      ++spawned;
    }
    for (auto it = pending.begin(); it != pending.end();) {
      const std::string dir =
          ProcessCgroupDir(ReadFileToString("/proc/" + std::to_string(it->pid) + "/cgroup"));
      const double seen = NowMs();
      if (dir == g_app_cgroup_fs_dir) {
        moved_ms.push_back(seen - it->spawned_ms);
        kill(it->pid, SIGKILL);
        waitpid(it->pid, nullptr, 0);
        it = pending.erase(it);
      } else if (seen - it->spawned_ms > 10000) {
        return Fail("a started program was not moved within 10 s");
      } else {
        ++it;
      }
    }
    // The polling stays light beside the many waiting starts of a pass alone.
    SleepMs(0.1 * static_cast<double>(std::max<size_t>(1, pending.size())));
  }
  FinishRun(&run);
  for (double value : moved_ms) printf("moved_ms %.6f\n", value);
  return 0;
}

int Hold(const std::map<std::string, std::string>& options) {
  if (!options.count("apps") || !options.count("seconds")) return Fail("hold needs --apps, --seconds");
  MonitorRun run = DescribeRun(options, options.at("apps"));
  std::string error;
  if (!StartRun(&run, &error)) return Fail(error);
  const double seconds = std::atof(options.at("seconds").c_str());
  const double cpu_before = OwnCpuMs();
  SleepMs(seconds * 1000);
  const double cpu_used = OwnCpuMs() - cpu_before;
  const unsigned events = g_app_routing_monitor_stats.events.load();
  FinishRun(&run);
  printf("cpu_percent %.6f\n", 100.0 * cpu_used / (seconds * 1000));
  printf("events_per_second %.6f\n", events / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: monitor_driver probe|run|latency|hold OPTIONS");
  const std::string command = argv[1];
  if (command == "probe") return Probe();
  if (!InPrivateCgroupNamespace()) {
    return Fail("not at the root of a private cgroup namespace with cgroup v2 at /sys/fs/cgroup");
  }
  const std::map<std::string, std::string> options = ParseOptions(argc, argv);
  if (command == "run") return Run(options);
  if (command == "latency") return Latency(options);
  if (command == "hold") return Hold(options);
  return Fail("unknown subcommand " + command);
}
