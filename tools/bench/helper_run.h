#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct HelperRunOptions {
  std::vector<std::string> argv;  // the helper's path, then its arguments
  std::string recorder_library;   // preloaded, with record_file, to record the commands
  std::string record_file;        // receives the command texts of the run
  std::string stderr_file = "/dev/null";
  double hold_seconds = 0;        // time spent READY before SIGTERM
  std::string at_ready;           // shell command run once READY (untimed)
};

// Wall times in ms, CPU times in ms of the helper's own threads (its
// children, the shells and tools, are not counted), sizes in kB.
struct HelperRunResult {
  double ready_ms = -1;         // exec -> "READY" read from its output
  double ready_cpu_ms = -1;     // own CPU from exec to READY
  double hold_cpu_ms = -1;      // own CPU while READY for hold_seconds
  long peak_rss_kb = -1;        // VmHWM at the end of the hold
  long rss_kb = -1;             // VmRSS at the end of the hold
  double stop_ms = -1;          // SIGTERM -> exit
  double stop_wait_ms = -1;     // SIGTERM -> first teardown command recorded
  double stop_cpu_ms = -1;      // own CPU from SIGTERM to exit
  size_t connect_commands = 0;  // commands recorded before READY
  size_t held_commands = 0;     // then before SIGTERM (the look that follows READY)
  size_t all_commands = 0;
  bool stopped = false;         // printed STOPPED and exited with 0
};

// In a child: standard output to `stdout_fd`, standard error to the
// options' file, the recorder preloaded where a record is asked for, then
// the helper's exec.
[[noreturn]] void ExecHelper(const HelperRunOptions& options, int stdout_fd);

// Runs the helper once through start, READY, an optional hold and SIGTERM.
bool RunHelperOnce(const HelperRunOptions& options, HelperRunResult* result, std::string* error);

// Runs a command to its end (standard output to /dev/null) and gives its
// wall time and its own CPU time in ms; false when it did not exit with 0.
bool RunToEnd(const std::vector<std::string>& argv, double* wall_ms, double* cpu_ms);
