/* Test-only LD_PRELOAD library: records every command text the helper hands
 * to system() and popen(), in order, and can make one chosen command fail.
 *
 *   LVH_RECORD_FILE   file the lines "system: TEXT" / "popen: TEXT" go to
 *   LVH_FAIL_COMMAND  exact command text to fail: system() returns the wait
 *                     status of exit code 2 (512) without running it, popen()
 *                     runs "exit 2" instead
 *
 * The constructor removes LD_PRELOAD from the environment so the shells and
 * tools the helper starts are not recorded themselves. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* record_file;
static char* fail_command;

__attribute__((constructor)) static void InitRecorder(void) {
  const char* file = getenv("LVH_RECORD_FILE");
  const char* fail = getenv("LVH_FAIL_COMMAND");
  record_file = file ? strdup(file) : NULL;
  fail_command = fail ? strdup(fail) : NULL;
  unsetenv("LD_PRELOAD");
}

static void RecordCommand(const char* kind, const char* command) {
  if (record_file == NULL || command == NULL) return;
  FILE* out = fopen(record_file, "a");
  if (out == NULL) return;
  fprintf(out, "%s: %s\n", kind, command);
  fclose(out);
}

static int IsFailedCommand(const char* command) {
  return fail_command != NULL && command != NULL && strcmp(command, fail_command) == 0;
}

int system(const char* command) {
  static int (*real_system)(const char*);
  if (real_system == NULL) real_system = (int (*)(const char*))dlsym(RTLD_NEXT, "system");
  RecordCommand("system", command);
  if (IsFailedCommand(command)) return 2 << 8;
  return real_system(command);
}

FILE* popen(const char* command, const char* mode) {
  static FILE* (*real_popen)(const char*, const char*);
  if (real_popen == NULL) real_popen = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "popen");
  RecordCommand("popen", command);
  if (IsFailedCommand(command)) return real_popen("exit 2", mode);
  return real_popen(command, mode);
}
