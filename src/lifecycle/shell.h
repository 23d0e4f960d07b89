#pragma once

#include <string>
#include <vector>

// The two seams through which the helper reaches the shell. Every value a
// caller places into a command text must be screened (IsSafeShellToken) or
// produced by the helper itself; these functions pass the text on as it is.

// Appended to cleanup commands whose failures are expected and not reported.
inline constexpr const char* kQuietSuffix = " >/dev/null 2>&1";

// Both run the command through "/bin/sh -c" in a process group of its own,
// so a terminal's SIGINT or SIGQUIT reaches the helper alone; a shell that
// such a signal caught before it left the helper's group, and so before it
// ran anything, is started again (three times at most). The tools inherit
// SIGTTOU and SIGTTIN ignored.

// Returns the command's raw wait status, as system() would (0 success, 512
// for exit status 2), or -1 when no shell could be started.
int RunShellCommand(const std::string& command);

// A command that hands LINES, one per line, to the standard input of TOOL
// (a command text such as "iptables-restore --noflush" or "nft -f -"):
// printf '%s\n' 'LINE' ... | TOOL. One line of text, so it is recorded and
// replayed like any other command; every single quote in a line is written
// as '\'' so a line can never leave its quotes. The lines must still hold
// only screened or program-made values: the tool itself parses them.
std::string FeedLinesCommand(const std::vector<std::string>& lines, const std::string& tool);

// Runs a listing command and tells whether it succeeded, which an empty
// listing alone cannot (an empty firewall lists nothing): true with its
// output when its exit status was 0.
bool ReadListing(const std::string& command, std::string* output);

// Returns all the command wrote to standard output, as popen() would; its
// exit status is discarded. The recording test library tells the two apart
// by the file actions only this one passes to posix_spawn.
std::string ExecCommandOutput(const std::string& command);
