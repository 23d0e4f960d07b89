#include "bench_clock.h"

#include <time.h>

#include <chrono>
#include <sstream>

#include "lifecycle/text_utils.h"

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double ProcessCpuMs(pid_t pid) {
  // The process CPU clock counts every thread of the group with scheduler
  // precision, unlike the 10 ms ticks of /proc/PID/stat.
  clockid_t clock;
  if (clock_getcpuclockid(pid, &clock) != 0) return -1;
  timespec spent{};
  if (clock_gettime(clock, &spent) != 0) return -1;
  return spent.tv_sec * 1e3 + spent.tv_nsec / 1e6;
}

long ReadStatusKb(pid_t pid, const std::string& field) {
  std::istringstream status(ReadFileToString("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}
