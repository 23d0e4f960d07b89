#pragma once

#include <string>
#include <vector>

// Where a spawned program's standard output and error go.
struct SpawnOutput {
  bool stdout_to_null = false;
  bool stderr_to_null = false;
  bool stderr_to_stdout = false;  // "2>&1", applied after stdout is set
  bool capture_stdout = false;    // read through a pipe, like popen
};

// Runs a program found on PATH without a shell and waits for it. Returns its
// exit status (128+N for a signal, -1 when it could not be started); the
// captured output, if asked for, goes to `output`.
int SpawnAndWait(const std::vector<std::string>& argv, const SpawnOutput& how,
                 std::string* output = nullptr);
