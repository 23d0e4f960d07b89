#include "lifecycle/shell.h"

#include <cstdio>
#include <cstdlib>

int RunShellCommand(const std::string& command) { return std::system(command.c_str()); }

std::string ExecCommandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}
