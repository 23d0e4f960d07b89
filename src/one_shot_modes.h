#pragma once

#include "lifecycle/command_line.h"

// The short modes; each prints its one outcome line and returns the exit status.
int RunValidateMode(const CommandLine& command_line);
int RunRemoveMode();
int RunApplyMode(const CommandLine& command_line);
int RunCleanupMode();
int RunBlockMode(const CommandLine& command_line);
int RunUnblockMode();
