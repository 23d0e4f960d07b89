#include "ordered_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_clock.h"
#include "lifecycle/text_utils.h"

namespace {

// A status line that has not come by then will not: the run failed.
constexpr double kLineTimeoutMs = 20000;
// The helper's commands of the moment have ended once its output has not
// grown for this long (a look's listings follow each other within ms).
constexpr double kQuietMs = 300;
constexpr double kQuietLimitMs = 5000;

// The output file, read on from where the last read ended; every line
// the recorder wrote on the way is counted.
struct OutputReader {
  int fd = -1;
  int notify = -1;
  std::string unread;
  size_t commands = 0;
  size_t listings = 0;
};

bool OpenReader(const std::string& path, OutputReader* reader) {
  const int truncate = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (truncate < 0) return false;
  close(truncate);
  reader->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  reader->notify = inotify_init1(IN_CLOEXEC);
  return reader->fd >= 0 && reader->notify >= 0 &&
         inotify_add_watch(reader->notify, path.c_str(), IN_MODIFY) >= 0;
}

void CloseReader(OutputReader* reader) {
  if (reader->fd >= 0) close(reader->fd);
  if (reader->notify >= 0) close(reader->notify);
}

// Takes in what the file holds by now; false when there was nothing new.
bool ReadMore(OutputReader* reader) {
  bool more = false;
  char buffer[8192];
  ssize_t got;
  while ((got = read(reader->fd, buffer, sizeof buffer)) > 0) {
    reader->unread.append(buffer, static_cast<size_t>(got));
    more = true;
  }
  return more;
}

bool NextLine(OutputReader* reader, std::string* line) {
  const size_t end = reader->unread.find('\n');
  if (end == std::string::npos) return false;
  line->assign(reader->unread, 0, end);
  reader->unread.erase(0, end + 1);
  if (line->compare(0, 8, "system: ") == 0) ++reader->commands;
  if (line->compare(0, 7, "popen: ") == 0) {
    ++reader->commands;
    ++reader->listings;
  }
  return true;
}

bool Exited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Reads on until the status line `wanted`; false when the helper ended
// without it or it has not come in time.
bool AwaitLine(OutputReader* reader, pid_t pid, const std::string& wanted) {
  const double deadline = NowMs() + kLineTimeoutMs;
  std::string line;
  for (;;) {
    while (NextLine(reader, &line)) {
      if (line == wanted) return true;
    }
    if (ReadMore(reader)) continue;
    if (Exited(pid) && !ReadMore(reader)) return false;
    const double left = deadline - NowMs();
    if (left <= 0) return false;
    // Woken by a write; the exit of a helper that writes nothing more is
    // seen at the latest after 100 ms.
    pollfd written{reader->notify, POLLIN, 0};
    if (poll(&written, 1, static_cast<int>(std::min(left, 100.0)) + 1) == 1) {
      char events[4096];
      (void)!read(reader->notify, events, sizeof events);
    }
  }
}

// Reads on until nothing has been written for kQuietMs.
void AwaitQuiet(OutputReader* reader) {
  const double limit = NowMs() + kQuietLimitMs;
  double quiet_since = NowMs();
  std::string line;
  while (NowMs() - quiet_since < kQuietMs && NowMs() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ReadMore(reader)) quiet_since = NowMs();
    while (NextLine(reader, &line)) {
    }
  }
}

bool StartHelper(const HelperRunOptions& options, pid_t* pid, std::string* error) {
  const int out = open(options.record_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (out < 0) {
    *error = "cannot open " + options.record_file;
    return false;
  }
  *pid = fork();
  if (*pid == 0) ExecHelper(options, out);
  close(out);
  if (*pid < 0) *error = "fork failed";
  return *pid > 0;
}

// Signals the helper and reaps it: true when it printed STOPPED and
// exited with 0.
bool EndHelper(OutputReader* reader, pid_t* pid, int signal_number) {
  kill(*pid, signal_number);
  const bool printed_stopped = AwaitLine(reader, *pid, "STOPPED");
  if (!printed_stopped) kill(*pid, SIGKILL);
  int status = 0;
  waitpid(*pid, &status, 0);
  *pid = -1;
  return printed_stopped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// As a client rewrites it: a whole new file renamed over the old.
bool WriteConfig(const std::string& path, const std::string& text) {
  const std::string next = path + ".next";
  FILE* out = fopen(next.c_str(), "w");
  if (out == nullptr) return false;
  const bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  return fclose(out) == 0 && written && rename(next.c_str(), path.c_str()) == 0;
}

// From the reader's counts at the signal (or exec) to READY and after.
void CountFrom(const OutputReader& reader, size_t commands, size_t listings, OrderedRunResult* result) {
  result->commands = reader.commands - commands;
  result->listings = reader.listings - listings;
}

}  // namespace

bool RunHelperSwitch(const SwitchRunOptions& options, OrderedRunResult* result, std::string* error) {
  const HelperRunOptions& run = options.helper;
  const std::string first_config = ReadFileToString(options.config_path);
  const std::string next_config = ReadFileToString(options.next_config);
  if (first_config.empty() || next_config.empty()) {
    *error = "a configuration is empty or cannot be read";
    return false;
  }
  OutputReader reader;
  pid_t pid = -1;
  const auto fail = [&](const std::string& why) {
    if (pid > 0) EndHelper(&reader, &pid, SIGTERM);
    CloseReader(&reader);
    WriteConfig(options.config_path, first_config);
    *error = why;
    return false;
  };
  if (!OpenReader(run.record_file, &reader)) return fail("cannot read " + run.record_file);
  if (!StartHelper(run, &pid, error)) return fail(*error);
  if (!AwaitLine(&reader, pid, "READY")) return fail("the first run ended without READY");
  // The look that follows READY has ended before the signal.
  std::this_thread::sleep_for(std::chrono::duration<double>(run.hold_seconds));
  AwaitQuiet(&reader);
  if (!WriteConfig(options.config_path, next_config)) return fail("cannot rewrite the configuration");
  const size_t commands = reader.commands;
  const size_t listings = reader.listings;

  const double signalled = NowMs();
  if (options.by_restart) {
    if (!EndHelper(&reader, &pid, SIGTERM)) return fail("the first run did not end with STOPPED and 0");
    if (!StartHelper(run, &pid, error)) return fail(*error);
  } else {
    kill(pid, SIGHUP);
  }
  if (!AwaitLine(&reader, pid, "READY")) return fail("no READY after the switch");
  result->ms = NowMs() - signalled;
  CountFrom(reader, commands, listings, result);
  if (options.settle) {
    AwaitQuiet(&reader);
    result->settle_commands = reader.commands - commands - result->commands;
  }
  if (!run.at_ready.empty()) (void)!std::system(run.at_ready.c_str());
  result->stopped = EndHelper(&reader, &pid, SIGTERM);
  CloseReader(&reader);
  if (!WriteConfig(options.config_path, first_config)) {
    *error = "cannot restore the configuration";
    return false;
  }
  return true;
}

bool RunHelperStart(const HelperRunOptions& options, OrderedRunResult* result, std::string* error) {
  OutputReader reader;
  pid_t pid = -1;
  if (!OpenReader(options.record_file, &reader)) {
    *error = "cannot read " + options.record_file;
    return false;
  }
  const double started = NowMs();
  if (!StartHelper(options, &pid, error)) {
    CloseReader(&reader);
    return false;
  }
  const bool ready = AwaitLine(&reader, pid, "READY");
  result->ms = NowMs() - started;
  CountFrom(reader, 0, 0, result);
  if (ready && !options.at_ready.empty()) (void)!std::system(options.at_ready.c_str());
  result->stopped = EndHelper(&reader, &pid, SIGTERM);
  CloseReader(&reader);
  if (!ready) *error = "the helper ended without READY";
  return ready;
}
