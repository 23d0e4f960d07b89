#include "lifecycle/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// Not system() or popen(): system() sets SIGINT and SIGQUIT to SIG_IGN in
// the whole helper while the command runs, which discards a SIGINT that
// arrives meanwhile, and a client's cancel with it; and both start the
// command in the helper's process group, where a terminal's Ctrl-C (sent to
// the whole foreground group) kills the tool that is halfway through a
// teardown. Here the shell leads a process group of its own, so only the
// helper hears the terminal and decides what a signal means. Otherwise it
// gets what system() gives it: caught signals reset to their default at
// exec, ignored ones still ignored, the caller's signal mask and
// environment.
bool SpawnShell(const std::string& command, const posix_spawn_file_actions_t* file_actions,
                pid_t* pid) {
  // Outside the terminal's foreground group, a tool that writes to the
  // terminal would be stopped by SIGTTOU where it has "tostop" set, and the
  // helper would wait for it for ever. Ignored here, the tools inherit it
  // (a disposition the shell cannot be given any other way) and write; the
  // helper never reads the terminal and only gains from the same.
  static const bool terminal_stops_ignored = [] {
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    return true;
  }();
  (void)terminal_stops_ignored;
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return false;
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  // "--": a command text is never taken for an option of the shell.
  const char* argv[] = {"sh", "-c", "--", command.c_str(), nullptr};
  const int result = posix_spawn(pid, "/bin/sh", file_actions, &attributes,
                                 const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  return result == 0;
}

// Until the new shell has left the helper's group (the first thing it does,
// before exec), a terminal's SIGINT or SIGQUIT to that group reaches it
// too: the signal waits, blocked, and kills it before it runs anything.
// Afterwards only a signal sent to it by name can, which nothing here
// does. So such a death means the command never ran, and it is run again.
bool KilledBeforeItRan(int status) {
  return status != -1 && WIFSIGNALED(status) &&
         (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT);
}

constexpr int kMaxAttempts = 3;

// Waits for this one child only: another child of the process (the
// engine's, say) stays for its own owner to reap.
int WaitForShell(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// One run of the command with its standard output read to the end; the
// shell's wait status goes to *status (-1 when none was started).
std::string ReadCommandOutput(const std::string& command, int* status) {
  *status = -1;
  // Close-on-exec on both ends: a command started meanwhile by another
  // thread must not hold the write end, or the read below would wait for
  // that command to end too. The dup2 onto standard output clears it there.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t file_actions;
  pid_t pid = 0;
  bool started = false;
  if (posix_spawn_file_actions_init(&file_actions) == 0) {
    started = posix_spawn_file_actions_adddup2(&file_actions, pipe_fds[1], STDOUT_FILENO) == 0 &&
              SpawnShell(command, &file_actions, &pid);
    posix_spawn_file_actions_destroy(&file_actions);
  }
  close(pipe_fds[1]);
  std::string output;
  if (started) {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
      if (got > 0) {
        output.append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        break;
      }
    }
  }
  close(pipe_fds[0]);
  if (started) *status = WaitForShell(pid);
  return output;
}

}  // namespace

std::string FeedLinesCommand(const std::vector<std::string>& lines, const std::string& tool) {
  // printf with no argument still prints its format once.
  if (lines.empty()) return "printf '' | " + tool;
  std::string command = "printf '%s\\n'";
  for (const std::string& line : lines) {
    command += " '";
    for (const char byte : line) command += byte == '\'' ? std::string("'\\''") : std::string(1, byte);
    command += "'";
  }
  return command + " | " + tool;
}

int RunShellCommand(const std::string& command) {
  int status = -1;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    pid_t pid = 0;
    if (!SpawnShell(command, nullptr, &pid)) return -1;
    status = WaitForShell(pid);
    if (!KilledBeforeItRan(status)) break;
  }
  return status;
}

bool ReadListing(const std::string& command, std::string* output) {
  output->clear();
  std::string text;
  int status = -1;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    text = ReadCommandOutput(command, &status);
    if (!KilledBeforeItRan(status)) break;
  }
  if (status != 0) return false;
  *output = text;
  return true;
}

std::string ExecCommandOutput(const std::string& command) {
  std::string output;
  int status = -1;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    output = ReadCommandOutput(command, &status);
    if (!KilledBeforeItRan(status)) break;
  }
  return output;
}
