/* Test-only LD_PRELOAD library: records every command text the helper hands
 * to system() and popen(), in order, and can make one chosen command fail.
 *
 *   LVH_RECORD_FILE   file the lines "system: TEXT" / "popen: TEXT" go to
 *   LVH_FAIL_COMMAND  exact command text to fail: system() returns the wait
 *                     status of exit code 2 (512) without running it, popen()
 *                     runs "exit 2" instead
 *   LVH_STOP_AFTER_COMMANDS=N
 *                     the process kills itself with SIGKILL right after its
 *                     Nth command (system() and popen() counted together, in
 *                     the order of the record file) has finished: after
 *                     system() returns, or after pclose() of the Nth popen()
 *                     stream. Simulates a crash at that point of a run.
 *
 * The constructor removes LD_PRELOAD from the environment so the shells and
 * tools the helper starts are not recorded themselves. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char* record_file;
static char* fail_command;
static long stop_after_commands;  /* 0: never */
static long commands_seen;
static FILE* stop_stream;         /* the Nth popen() stream, killed at its pclose() */

__attribute__((constructor)) static void InitRecorder(void) {
  const char* file = getenv("LVH_RECORD_FILE");
  const char* fail = getenv("LVH_FAIL_COMMAND");
  record_file = file ? strdup(file) : NULL;
  fail_command = fail ? strdup(fail) : NULL;
  const char* stop_after = getenv("LVH_STOP_AFTER_COMMANDS");
  stop_after_commands = stop_after ? strtol(stop_after, NULL, 10) : 0;
  unsetenv("LD_PRELOAD");
}

static void RecordCommand(const char* kind, const char* command) {
  if (record_file == NULL || command == NULL) return;
  FILE* out = fopen(record_file, "a");
  if (out == NULL) return;
  fprintf(out, "%s: %s\n", kind, command);
  fclose(out);
}

/* True when this command is the one after which the process must die. */
static int IsStopCommand(void) {
  long seen = __atomic_add_fetch(&commands_seen, 1, __ATOMIC_SEQ_CST);
  return stop_after_commands > 0 && seen == stop_after_commands;
}

/* Nothing is flushed or unwound: the run ends as abruptly as a real kill. */
static void KillSelf(void) { kill(getpid(), SIGKILL); }

static int IsFailedCommand(const char* command) {
  return fail_command != NULL && command != NULL && strcmp(command, fail_command) == 0;
}

int system(const char* command) {
  static int (*real_system)(const char*);
  if (real_system == NULL) real_system = (int (*)(const char*))dlsym(RTLD_NEXT, "system");
  RecordCommand("system", command);
  const int stop = IsStopCommand();
  const int status = IsFailedCommand(command) ? 2 << 8 : real_system(command);
  if (stop) KillSelf();
  return status;
}

FILE* popen(const char* command, const char* mode) {
  static FILE* (*real_popen)(const char*, const char*);
  if (real_popen == NULL) real_popen = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "popen");
  RecordCommand("popen", command);
  const int stop = IsStopCommand();
  FILE* stream = IsFailedCommand(command) ? real_popen("exit 2", mode) : real_popen(command, mode);
  if (stop) {
    if (stream == NULL) KillSelf();
    stop_stream = stream;
  }
  return stream;
}

int pclose(FILE* stream) {
  static int (*real_pclose)(FILE*);
  if (real_pclose == NULL) real_pclose = (int (*)(FILE*))dlsym(RTLD_NEXT, "pclose");
  const int stop = stream != NULL && stream == stop_stream;
  const int status = real_pclose(stream);
  if (stop) KillSelf();
  return status;
}
