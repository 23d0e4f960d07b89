#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One command text as the command recorder wrote it: "system: TEXT" or
// "popen: TEXT".
struct RecordedCommand {
  bool through_popen = false;
  std::string text;
};

std::vector<RecordedCommand> ReadRecordedCommands(const std::string& record_file);

// The floor: each text handed to the shell one after another, exactly as
// the helper's two seams do (system, or popen with its output read).
void ReplayThroughShell(const std::vector<RecordedCommand>& commands, size_t begin, size_t end);

// For information: the same tools started directly, without a shell. The
// few shell forms the texts use (">/dev/null", "2>/dev/null", "2>&1", "A ||
// B") are carried out here; a text with any other shell syntax still goes to
// the shell and is counted in the result.
size_t ReplayDirectly(const std::vector<RecordedCommand>& commands, size_t begin, size_t end);
