#pragma once

#include <cstddef>
#include <string>

#include "helper_run.h"

// Runs whose status lines and, with the recorder, command texts go into
// options.record_file in the order they happened (ordered_output.h);
// options.recorder_library, when given, is preloaded to record the commands.

// A move of a READY helper to a second server, timed from the signal to
// the new READY: by SIGHUP to the running helper, which reads its
// configuration again, or as a client does without it: SIGTERM, STOPPED
// and exit, then a new start on the rewritten configuration.
struct SwitchRunOptions {
  HelperRunOptions helper;     // its argv names config_path with --config
  std::string config_path;     // rewritten before the signal, restored at the end
  std::string next_config;     // a file with the configuration the client writes there
  bool by_restart = false;     // SIGTERM and a new start instead of SIGHUP
  bool settle = false;         // count the look that follows the new READY
};

struct OrderedRunResult {
  double ms = -1;              // signal (or exec) -> READY
  size_t commands = 0;         // recorded between the two
  size_t listings = 0;         // of them, listings read back (popen)
  size_t settle_commands = 0;  // recorded after READY until the helper is quiet
  bool stopped = false;        // the last run printed STOPPED and exited with 0
};

bool RunHelperSwitch(const SwitchRunOptions& options, OrderedRunResult* result, std::string* error);

// One start, exec -> READY, then SIGTERM (the takeover of a killed run and
// a start on a clean host, side by side).
bool RunHelperStart(const HelperRunOptions& options, OrderedRunResult* result, std::string* error);
