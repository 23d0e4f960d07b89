/* Test-only LD_PRELOAD library: records every command text the helper hands
 * to the shell, in order, and can make one chosen command fail or cut the
 * run short right after a chosen command. The helper runs every command as
 * "/bin/sh -c -- TEXT" through posix_spawn() and waitpid(); one whose output
 * it reads is spawned with file actions (its standard output on a pipe) and
 * recorded as "popen", the others as "system". popen() and system()
 * themselves are recorded too.
 *
 *   LVH_RECORD_FILE   file the lines "system: TEXT" (a command run for its
 *                     status) / "popen: TEXT" go to
 *   LVH_FAIL_COMMAND  exact command text to fail: the shell runs "exit 2"
 *                     instead (wait status 512), and so does popen()
 *   LVH_STOP_AFTER_COMMANDS=N
 *                     the process kills itself with SIGKILL right after its
 *                     Nth command (all kinds counted together, in the order
 *                     of the record file) has finished: when the wait for it
 *                     returns, or at pclose() of the Nth popen() stream.
 *                     Simulates a crash at that point of a run.
 *   LVH_SIGNAL_AFTER_COMMANDS=N with LVH_SIGNAL_NAME=TERM|INT|PIPE|HUP
 *                     at the same point the process sends itself that signal
 *                     (default TERM), as a client would, and carries on.
 *
 * The constructor removes LD_PRELOAD from the environment so the shells and
 * tools the helper starts are not recorded themselves. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static char* record_file;
static char* fail_command;
static long act_after_commands; /* 0: never */
static int act_signal;          /* what is sent after that command */
static long commands_seen;
static pid_t act_pid;     /* the shell of the Nth spawned command, acted on when waited for */
static FILE* act_stream;  /* the Nth popen() stream, acted on at its pclose() */

static int SignalNamed(const char* name) {
  static const struct { const char* name; int number; } kSignals[] = {
      {"TERM", SIGTERM}, {"INT", SIGINT}, {"PIPE", SIGPIPE}, {"HUP", SIGHUP}};
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    if (strcmp(name, kSignals[i].name) == 0) return kSignals[i].number;
  }
  return SIGTERM;
}

__attribute__((constructor)) static void InitRecorder(void) {
  const char* file = getenv("LVH_RECORD_FILE");
  const char* fail = getenv("LVH_FAIL_COMMAND");
  record_file = file ? strdup(file) : NULL;
  fail_command = fail ? strdup(fail) : NULL;
  const char* stop_after = getenv("LVH_STOP_AFTER_COMMANDS");
  const char* signal_after = getenv("LVH_SIGNAL_AFTER_COMMANDS");
  const char* signal_name = getenv("LVH_SIGNAL_NAME");
  if (stop_after != NULL) {
    act_after_commands = strtol(stop_after, NULL, 10);
    act_signal = SIGKILL;
  } else if (signal_after != NULL) {
    act_after_commands = strtol(signal_after, NULL, 10);
    act_signal = SignalNamed(signal_name ? signal_name : "TERM");
  }
  unsetenv("LD_PRELOAD");
}

static void RecordCommand(const char* kind, const char* command) {
  if (record_file == NULL || command == NULL) return;
  FILE* out = fopen(record_file, "a");
  if (out == NULL) return;
  fprintf(out, "%s: %s\n", kind, command);
  fclose(out);
}

/* True when this command is the one after which the process is acted on. */
static int IsActCommand(void) {
  long seen = __atomic_add_fetch(&commands_seen, 1, __ATOMIC_SEQ_CST);
  return act_after_commands > 0 && seen == act_after_commands;
}

/* SIGKILL flushes and unwinds nothing: the run ends as abruptly as a real
 * kill. Any other signal goes to the whole process, as a client sends it. */
static void Act(void) { kill(getpid(), act_signal); }

static int IsFailedCommand(const char* command) {
  return fail_command != NULL && command != NULL && strcmp(command, fail_command) == 0;
}

/* The command text of a "sh -c [--] TEXT" argument vector, or NULL. */
static const char* ShellCommandText(const char* path, char* const argv[]) {
  if (path == NULL || strcmp(path, "/bin/sh") != 0 || argv[0] == NULL || argv[1] == NULL ||
      strcmp(argv[1], "-c") != 0 || argv[2] == NULL) {
    return NULL;
  }
  return strcmp(argv[2], "--") == 0 ? argv[3] : argv[2];
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* file_actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  static int (*real_spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const[], char* const[]);
  if (real_spawn == NULL) real_spawn = dlsym(RTLD_NEXT, "posix_spawn");
  const char* command = ShellCommandText(path, argv);
  if (command == NULL) return real_spawn(pid, path, file_actions, attributes, argv, envp);
  RecordCommand(file_actions != NULL ? "popen" : "system", command);
  const int act = IsActCommand();
  char* const failing[] = {"sh", "-c", "exit 2", NULL};
  pid_t child = 0;
  const int result = real_spawn(&child, path, file_actions, attributes,
                                IsFailedCommand(command) ? failing : argv, envp);
  if (pid != NULL) *pid = child;
  if (act) {
    if (result != 0) Act();
    act_pid = child;
  }
  return result;
}

pid_t waitpid(pid_t pid, int* status, int options) {
  static pid_t (*real_waitpid)(pid_t, int*, int);
  if (real_waitpid == NULL) real_waitpid = dlsym(RTLD_NEXT, "waitpid");
  const pid_t result = real_waitpid(pid, status, options);
  if (result > 0 && result == act_pid) {
    act_pid = 0;
    Act();
  }
  return result;
}

int system(const char* command) {
  static int (*real_system)(const char*);
  if (real_system == NULL) real_system = (int (*)(const char*))dlsym(RTLD_NEXT, "system");
  RecordCommand("system", command);
  const int act = IsActCommand();
  const int status = IsFailedCommand(command) ? 2 << 8 : real_system(command);
  if (act) Act();
  return status;
}

FILE* popen(const char* command, const char* mode) {
  static FILE* (*real_popen)(const char*, const char*);
  if (real_popen == NULL) real_popen = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "popen");
  RecordCommand("popen", command);
  const int act = IsActCommand();
  FILE* stream = IsFailedCommand(command) ? real_popen("exit 2", mode) : real_popen(command, mode);
  if (act) {
    if (stream == NULL) Act();
    act_stream = stream;
  }
  return stream;
}

int pclose(FILE* stream) {
  static int (*real_pclose)(FILE*);
  if (real_pclose == NULL) real_pclose = (int (*)(FILE*))dlsym(RTLD_NEXT, "pclose");
  const int act = stream != NULL && stream == act_stream;
  const int status = real_pclose(stream);
  if (act) Act();
  return status;
}
