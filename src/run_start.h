#pragma once

// The run mode's starting state: from the command line to everything
// installed, right before READY.

#include "lifecycle/command_line.h"
#include "tunnel_run.h"

// The start sequence. On a failure it prints one "ERROR: " line, undoes
// what it installed (UndoRunSteps) and returns false; a stop request
// before READY undoes the same and ends the helper by the signal. Where
// it finds what a killed run left (recovery/killed_run_traces.h), asked
// without a command, it takes that over instead of tearing it down first:
// the killed run's kill switch stands until the new one does (and stays
// if the start fails), its app-routing group keeps its members, and the
// host routes of a server that is not the new one go. Where it finds
// nothing, its commands are those of a start on a clean host.
bool StartTunnel(const CommandLine& command_line, TunnelRun* run);
