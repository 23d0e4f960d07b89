#include "helper_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_clock.h"
#include "ordered_output.h"

[[noreturn]] void ExecHelper(const HelperRunOptions& options, int stdout_fd) {
  dup2(stdout_fd, STDOUT_FILENO);
  const int err_fd = open(options.stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
  if (!options.record_file.empty() && !options.recorder_library.empty()) {
    setenv("LVH_RECORD_FILE", options.record_file.c_str(), 1);
    setenv("LD_PRELOAD", options.recorder_library.c_str(), 1);
  }
  std::vector<char*> args;
  for (const std::string& arg : options.argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

namespace {

// Reads status lines until `wanted` (true) or end of output (false).
bool ReadUntilLine(FILE* output, const std::string& wanted) {
  char* line = nullptr;
  size_t capacity = 0;
  bool found = false;
  ssize_t length;
  while (!found && (length = getline(&line, &capacity, output)) >= 0) {
    std::string text(line, static_cast<size_t>(length));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    found = text == wanted;
  }
  free(line);
  return found;
}

}  // namespace

bool RunToEnd(const std::vector<std::string>& argv, double* wall_ms, double* cpu_ms) {
  const double started = NowMs();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  *wall_ms = NowMs() - started;
  *cpu_ms = ProcessCpuMs(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool RunHelperOnce(const HelperRunOptions& options, HelperRunResult* result, std::string* error) {
  // A recorded run writes its status lines into the record, so that the
  // commands before READY and before the signal are told apart exactly;
  // a timed run reads them from a pipe.
  const bool recorded = !options.record_file.empty();
  OutputReader record;
  FILE* output = nullptr;
  int out_pipe[2] = {-1, -1};
  if (recorded ? !OpenOutput(options.record_file, &record) : pipe2(out_pipe, O_CLOEXEC) != 0) {
    CloseOutput(&record);
    *error = "cannot set up the helper's output";
    return false;
  }
  const double started = NowMs();
  pid_t pid = -1;
  if (recorded) {
    StartHelperWritingTo(options, &pid, error);
  } else {
    pid = fork();
    if (pid == 0) ExecHelper(options, out_pipe[1]);
    close(out_pipe[1]);
    output = fdopen(out_pipe[0], "r");
    if (pid < 0) *error = "fork failed";
  }
  const auto await_line = [&](const std::string& line) {
    return recorded ? AwaitLine(&record, pid, line) : ReadUntilLine(output, line);
  };
  const auto close_output = [&]() {
    if (output != nullptr) fclose(output);
    CloseOutput(&record);
  };
  if (pid < 0) {
    close_output();
    return false;
  }
  if (!await_line("READY")) {
    close_output();
    waitpid(pid, nullptr, 0);
    *error = "helper ended without READY";
    return false;
  }
  result->ready_ms = NowMs() - started;
  result->ready_cpu_ms = ProcessCpuMs(pid);
  result->connect_commands = record.commands;

  if (!options.at_ready.empty()) (void)!std::system(options.at_ready.c_str());

  if (options.hold_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.hold_seconds));
    result->hold_cpu_ms = ProcessCpuMs(pid) - result->ready_cpu_ms;
    result->peak_rss_kb = ReadStatusKb(pid, "VmHWM");
    result->rss_kb = ReadStatusKb(pid, "VmRSS");
  }

  // What ran since READY, the look that follows it among them, is no part
  // of the disconnect.
  if (recorded) ReadWritten(&record);
  result->held_commands = record.commands - result->connect_commands;
  // The first teardown command shows when the wait loop noticed the signal.
  int watch = -1;
  if (recorded) {
    watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, options.record_file.c_str(), IN_MODIFY);
  }
  const double cpu_before_stop = ProcessCpuMs(pid);
  const double signalled = NowMs();
  kill(pid, SIGTERM);
  if (watch >= 0) {
    pollfd event{watch, POLLIN, 0};
    if (poll(&event, 1, 10000) == 1) result->stop_wait_ms = NowMs() - signalled;
    close(watch);
  }
  // Waiting without reaping keeps the zombie's CPU clock readable.
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  result->stop_ms = NowMs() - signalled;
  result->stop_cpu_ms = ProcessCpuMs(pid) - cpu_before_stop;
  const bool printed_stopped = await_line("STOPPED");
  result->all_commands = record.commands;
  close_output();
  int status = 0;
  waitpid(pid, &status, 0);
  result->stopped = printed_stopped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return true;
}
