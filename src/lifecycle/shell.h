#pragma once

#include <string>

// The two seams through which the helper reaches the shell. Every value a
// caller places into a command text must be screened (IsSafeShellToken) or
// produced by the helper itself; these functions pass the text on as it is.

// Appended to cleanup commands whose failures are expected and not reported.
inline constexpr const char* kQuietSuffix = " >/dev/null 2>&1";

// Runs the command through "/bin/sh -c" and returns its raw wait status, as
// system() would (0 success, 512 for exit status 2), or -1 when no shell
// could be started.
int RunShellCommand(const std::string& command);

// Runs the command through popen() and returns all it wrote to standard
// output; its exit status is discarded.
std::string ExecCommandOutput(const std::string& command);
