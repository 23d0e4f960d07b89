#include "lifecycle/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

// Not system(): it sets SIGINT and SIGQUIT to SIG_IGN in the whole helper
// while the command runs, which discards a SIGINT that arrives meanwhile, and
// a client's cancel with it. The shell started here gets what system() gives
// it: caught signals reset to their default at exec, ignored ones still
// ignored, the caller's signal mask and environment.
int RunShellCommand(const std::string& command) {
  // "--": a command text is never taken for an option of the shell.
  const char* argv[] = {"sh", "-c", "--", command.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return status;
}

std::string ExecCommandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}
