#include "process_spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int SpawnAndWait(const std::vector<std::string>& argv, const SpawnOutput& how,
                 std::string* output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int pipe_fds[2] = {-1, -1};
  if (how.capture_stdout && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (how.capture_stdout) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  } else if (how.stdout_to_null) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (how.stderr_to_stdout) {
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else if (how.stderr_to_null) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (how.capture_stdout) {
    close(pipe_fds[1]);
    if (spawned == 0) {
      char buffer[4096];
      ssize_t got;
      while ((got = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) {
        if (output != nullptr) output->append(buffer, static_cast<size_t>(got));
      }
    }
    close(pipe_fds[0]);
  }
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
