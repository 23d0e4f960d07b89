#include "ordered_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_clock.h"
#include "lifecycle/text_utils.h"
#include "ordered_output.h"

namespace {

// Signals the helper and reaps it: true when it printed STOPPED and
// exited with 0.
bool EndHelper(OutputReader* reader, pid_t* pid, int signal_number) {
  kill(*pid, signal_number);
  const bool printed_stopped = AwaitLine(reader, *pid, "STOPPED");
  if (!printed_stopped) kill(*pid, SIGKILL);
  int status = 0;
  waitpid(*pid, &status, 0);
  *pid = -1;
  return printed_stopped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// As a client rewrites it: a whole new file renamed over the old.
bool WriteConfig(const std::string& path, const std::string& text) {
  const std::string next = path + ".next";
  FILE* out = fopen(next.c_str(), "w");
  if (out == nullptr) return false;
  const bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  return fclose(out) == 0 && written && rename(next.c_str(), path.c_str()) == 0;
}

// From the reader's counts at the signal (or exec) to READY and after.
void CountFrom(const OutputReader& reader, size_t commands, size_t listings, OrderedRunResult* result) {
  result->commands = reader.commands - commands;
  result->listings = reader.listings - listings;
}

}  // namespace

bool RunHelperSwitch(const SwitchRunOptions& options, OrderedRunResult* result, std::string* error) {
  const HelperRunOptions& run = options.helper;
  const std::string first_config = ReadFileToString(options.config_path);
  const std::string next_config = ReadFileToString(options.next_config);
  if (first_config.empty() || next_config.empty()) {
    *error = "a configuration is empty or cannot be read";
    return false;
  }
  OutputReader reader;
  pid_t pid = -1;
  const auto fail = [&](const std::string& why) {
    if (pid > 0) EndHelper(&reader, &pid, SIGTERM);
    CloseOutput(&reader);
    WriteConfig(options.config_path, first_config);
    *error = why;
    return false;
  };
  if (!OpenOutput(run.record_file, &reader)) return fail("cannot read " + run.record_file);
  if (!StartHelperWritingTo(run, &pid, error)) return fail(*error);
  if (!AwaitLine(&reader, pid, "READY")) return fail("the first run ended without READY");
  // The look that follows READY has ended before the signal.
  std::this_thread::sleep_for(std::chrono::duration<double>(run.hold_seconds));
  AwaitQuiet(&reader);
  if (!WriteConfig(options.config_path, next_config)) return fail("cannot rewrite the configuration");
  const size_t commands = reader.commands;
  const size_t listings = reader.listings;

  const double signalled = NowMs();
  if (options.by_restart) {
    if (!EndHelper(&reader, &pid, SIGTERM)) return fail("the first run did not end with STOPPED and 0");
    if (!StartHelperWritingTo(run, &pid, error)) return fail(*error);
  } else {
    kill(pid, SIGHUP);
  }
  if (!AwaitLine(&reader, pid, "READY")) return fail("no READY after the switch");
  result->ms = NowMs() - signalled;
  CountFrom(reader, commands, listings, result);
  if (options.settle) {
    AwaitQuiet(&reader);
    result->settle_commands = reader.commands - commands - result->commands;
  }
  if (!run.at_ready.empty()) (void)!std::system(run.at_ready.c_str());
  result->stopped = EndHelper(&reader, &pid, SIGTERM);
  CloseOutput(&reader);
  if (!WriteConfig(options.config_path, first_config)) {
    *error = "cannot restore the configuration";
    return false;
  }
  return true;
}

bool RunHelperStart(const HelperRunOptions& options, OrderedRunResult* result, std::string* error) {
  OutputReader reader;
  pid_t pid = -1;
  if (!OpenOutput(options.record_file, &reader)) {
    *error = "cannot read " + options.record_file;
    return false;
  }
  const double started = NowMs();
  if (!StartHelperWritingTo(options, &pid, error)) {
    CloseOutput(&reader);
    return false;
  }
  const bool ready = AwaitLine(&reader, pid, "READY");
  result->ms = NowMs() - started;
  CountFrom(reader, 0, 0, result);
  if (ready && !options.at_ready.empty()) (void)!std::system(options.at_ready.c_str());
  result->stopped = EndHelper(&reader, &pid, SIGTERM);
  CloseOutput(&reader);
  if (!ready) *error = "the helper ended without READY";
  return ready;
}
