#include "ordered_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "bench_clock.h"

namespace {

// A status line that has not come by then will not: the run failed.
constexpr double kLineTimeoutMs = 20000;
// The helper's commands of the moment have ended once its output has not
// grown for this long (a look's listings follow each other within ms).
constexpr double kQuietMs = 300;
constexpr double kQuietLimitMs = 5000;

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

// Counts the whole lines taken in so far.
void CountLines(OutputReader* reader) {
  std::string line;
  while (NextLine(reader, &line)) {
  }
}

bool Exited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

bool OpenOutput(const std::string& path, OutputReader* reader) {
  const int truncate = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (truncate < 0) return false;
  close(truncate);
  reader->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  reader->notify = inotify_init1(IN_CLOEXEC);
  return reader->fd >= 0 && reader->notify >= 0 &&
         inotify_add_watch(reader->notify, path.c_str(), IN_MODIFY) >= 0;
}

void CloseOutput(OutputReader* reader) {
  if (reader->fd >= 0) close(reader->fd);
  if (reader->notify >= 0) close(reader->notify);
  reader->fd = reader->notify = -1;
}

bool StartHelperWritingTo(const HelperRunOptions& options, pid_t* pid, std::string* error) {
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

void ReadWritten(OutputReader* reader) {
  ReadMore(reader);
  CountLines(reader);
}

void AwaitQuiet(OutputReader* reader) {
  const double limit = NowMs() + kQuietLimitMs;
  double quiet_since = NowMs();
  while (NowMs() - quiet_since < kQuietMs && NowMs() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ReadMore(reader)) quiet_since = NowMs();
    CountLines(reader);
  }
}
