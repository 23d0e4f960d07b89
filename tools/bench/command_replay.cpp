#include "command_replay.h"

#include <sstream>

#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "process_spawn.h"

namespace {

struct DirectStep {
  std::vector<std::string> argv;
  SpawnOutput output;
};

bool IsPlainWord(const std::string& word) {
  return word.find_first_of(";&|<>$`'\"\\*?[](){}~#=") == std::string::npos;
}

// Splits "A >/dev/null 2>&1 || B" into its alternatives; false when the
// text needs a real shell.
bool ParseDirectSteps(const std::string& text, bool capture, std::vector<DirectStep>* steps) {
  std::istringstream words(text);
  std::string word;
  DirectStep step;
  step.output.capture_stdout = capture;
  while (words >> word) {
    if (word == "||") {
      if (step.argv.empty()) return false;
      steps->push_back(step);
      step = DirectStep();
      step.output.capture_stdout = capture;
    } else if (word == ">/dev/null") {
      step.output.capture_stdout = false;
      step.output.stdout_to_null = true;
    } else if (word == "2>/dev/null") {
      step.output.stderr_to_null = true;
    } else if (word == "2>&1") {
      step.output.stderr_to_stdout = true;
    } else if (IsPlainWord(word)) {
      step.argv.push_back(word);
    } else {
      return false;
    }
  }
  if (step.argv.empty()) return false;
  steps->push_back(step);
  return true;
}

}  // namespace

std::vector<RecordedCommand> ReadRecordedCommands(const std::string& record_file) {
  std::vector<RecordedCommand> commands;
  std::istringstream lines(ReadFileToString(record_file));
  std::string line;
  while (std::getline(lines, line)) {
    RecordedCommand command;
    if (line.compare(0, 8, "system: ") == 0) {
      command.text = line.substr(8);
    } else if (line.compare(0, 7, "popen: ") == 0) {
      command.through_popen = true;
      command.text = line.substr(7);
    } else {
      continue;
    }
    commands.push_back(command);
  }
  return commands;
}

void ReplayThroughShell(const std::vector<RecordedCommand>& commands, size_t begin, size_t end) {
  for (size_t i = begin; i < end && i < commands.size(); ++i) {
    if (commands[i].through_popen) {
      ExecCommandOutput(commands[i].text);
    } else {
      RunShellCommand(commands[i].text);
    }
  }
}

size_t ReplayDirectly(const std::vector<RecordedCommand>& commands, size_t begin, size_t end) {
  size_t through_shell = 0;
  for (size_t i = begin; i < end && i < commands.size(); ++i) {
    std::vector<DirectStep> steps;
    if (!ParseDirectSteps(commands[i].text, commands[i].through_popen, &steps)) {
      ++through_shell;
      ReplayThroughShell(commands, i, i + 1);
      continue;
    }
    std::string output;
    for (const DirectStep& step : steps) {
      if (SpawnAndWait(step.argv, step.output, &output) == 0) break;
    }
  }
  return through_shell;
}
