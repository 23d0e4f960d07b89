#include "lifecycle/status_line.h"

#include <cstdio>

std::atomic<bool> g_status_line_failed{false};

void PrintStatusLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  // The error indicator stays set once a write failed, like the flag.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) g_status_line_failed.store(true);
}

void PrintErrorLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}
