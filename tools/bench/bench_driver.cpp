// Benchmark driver run by bench.sh inside the namespace test bed. Each
// subcommand prints "figure value" lines, one per sample, on its standard
// output; the tools it starts write theirs to /dev/null instead.
//
//   helper [--record FILE --recorder LIB] [--hold SECONDS] [--stderr FILE]
//          [--at-ready COMMAND] -- HELPER ARGS...
//   floor  --engine LIB --config FILE --dat-dir DIR --record FILE --split N
//          [--skip M] --mode shell|direct [--between COMMAND]
//   startup --repeat N -- COMMAND ARGS...
//   pass   --app NAME --repeat N
//   scale  --config-bytes N --policy-bytes N --repeat N
//   restore --take COMMAND --check COMMAND --figure NAME --repeat N
//          (a READY helper is running beside it)
//   lookup --redirected SERVER --direct SERVER --name NAME --repeat N --batch M
//   switch --rewrite CONFIG --with NEXT --by hup|restart --output FILE
//          [--recorder LIB] [--hold SECONDS] [--settle 1] [--stderr FILE]
//          [--at-ready COMMAND] -- HELPER ARGS...   (ARGS name CONFIG)
//   start  --output FILE [--recorder LIB] [--stderr FILE] [--at-ready COMMAND]
//          -- HELPER ARGS...
//          (switch and start: status lines and recorded commands in FILE)

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "command_replay.h"
#include "helper_run.h"
#include "lookup_timing.h"
#include "lifecycle/engine_library.h"
#include "lifecycle/engine_request.h"
#include "lifecycle/firewall_events.h"
#include "ordered_run.h"
#include "pure_operations.h"

namespace {

int g_results_fd = STDOUT_FILENO;

void PrintSample(const std::string& figure, double value) {
  dprintf(g_results_fd, "%s %.6f\n", figure.c_str(), value);
}

void PrintSamples(const SampleTable& samples) {
  for (const auto& [figure, values] : samples) {
    for (double value : values) PrintSample(figure, value);
  }
}

int Fail(const std::string& message) {
  fprintf(stderr, "bench_driver: %s\n", message.c_str());
  return 1;
}

// "--name value" pairs up to "--"; the rest is returned in `rest`.
std::map<std::string, std::string> ParseOptions(int argc, char** argv,
                                                std::vector<std::string>* rest) {
  std::map<std::string, std::string> options;
  int i = 2;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.compare(0, 2, "--") == 0 && i + 1 < argc) options[arg.substr(2)] = argv[++i];
  }
  for (; i < argc; ++i) rest->push_back(argv[i]);
  return options;
}

int RunHelperCommand(const std::map<std::string, std::string>& options,
                     const std::vector<std::string>& helper_argv) {
  HelperRunOptions run;
  run.argv = helper_argv;
  if (options.count("record")) run.record_file = options.at("record");
  if (options.count("recorder")) run.recorder_library = options.at("recorder");
  if (options.count("stderr")) run.stderr_file = options.at("stderr");
  if (options.count("at-ready")) run.at_ready = options.at("at-ready");
  if (options.count("hold")) run.hold_seconds = std::atof(options.at("hold").c_str());
  if (run.argv.empty()) return Fail("no helper command given");
  HelperRunResult result;
  std::string error;
  if (!RunHelperOnce(run, &result, &error)) return Fail(error);
  if (!result.stopped) return Fail("helper did not end with STOPPED and exit status 0");
  PrintSample("ready_ms", result.ready_ms);
  PrintSample("ready_cpu_ms", result.ready_cpu_ms);
  PrintSample("stop_ms", result.stop_ms);
  PrintSample("stop_cpu_ms", result.stop_cpu_ms);
  if (result.stop_wait_ms >= 0) PrintSample("stop_wait_ms", result.stop_wait_ms);
  if (!run.record_file.empty()) {
    PrintSample("connect_commands", static_cast<double>(result.connect_commands));
    PrintSample("held_commands", static_cast<double>(result.held_commands));
    PrintSample("disconnect_commands", static_cast<double>(result.all_commands -
                                                           result.connect_commands -
                                                           result.held_commands));
  }
  if (run.hold_seconds > 0) {
    PrintSample("hold_cpu_percent", 100.0 * result.hold_cpu_ms / (1000.0 * run.hold_seconds));
    PrintSample("peak_rss_kb", static_cast<double>(result.peak_rss_kb));
    PrintSample("rss_kb", static_cast<double>(result.rss_kb));
  }
  return 0;
}

// The options of a run whose status lines (and, with --recorder, commands)
// go into --output; false when a needed one is missing.
bool OrderedRunOptionsOf(const std::map<std::string, std::string>& options,
                         const std::vector<std::string>& helper_argv, HelperRunOptions* run) {
  if (!options.count("output") || helper_argv.empty()) return false;
  run->argv = helper_argv;
  run->record_file = options.at("output");
  if (options.count("recorder")) run->recorder_library = options.at("recorder");
  if (options.count("stderr")) run->stderr_file = options.at("stderr");
  if (options.count("at-ready")) run->at_ready = options.at("at-ready");
  if (options.count("hold")) run->hold_seconds = std::atof(options.at("hold").c_str());
  return true;
}

void PrintOrderedRun(const std::string& figure, const OrderedRunResult& result, bool recorded,
                     bool settle) {
  PrintSample(figure + "_ms", result.ms);
  if (!recorded) return;
  PrintSample(figure + "_commands", static_cast<double>(result.commands));
  PrintSample(figure + "_listings", static_cast<double>(result.listings));
  if (settle) PrintSample(figure + "_settle_commands", static_cast<double>(result.settle_commands));
}

// A READY helper moved to the server NEXT names: by SIGHUP, or by a stop
// and a new start (the client's way without it).
int RunSwitchCommand(const std::map<std::string, std::string>& options,
                     const std::vector<std::string>& helper_argv) {
  SwitchRunOptions run;
  if (!OrderedRunOptionsOf(options, helper_argv, &run.helper) || !options.count("rewrite") ||
      !options.count("with") || !options.count("by")) {
    return Fail("switch needs --rewrite, --with, --by, --output and a helper command");
  }
  run.config_path = options.at("rewrite");
  run.next_config = options.at("with");
  run.by_restart = options.at("by") == "restart";
  run.settle = options.count("settle") != 0;
  OrderedRunResult result;
  std::string error;
  if (!RunHelperSwitch(run, &result, &error)) return Fail(error);
  if (!result.stopped) return Fail("helper did not end with STOPPED and exit status 0");
  PrintOrderedRun("switch", result, !run.helper.recorder_library.empty(), run.settle);
  return 0;
}

// One start to READY, its commands counted exactly, then SIGTERM.
int RunStartCommand(const std::map<std::string, std::string>& options,
                    const std::vector<std::string>& helper_argv) {
  HelperRunOptions run;
  if (!OrderedRunOptionsOf(options, helper_argv, &run)) {
    return Fail("start needs --output and a helper command");
  }
  OrderedRunResult result;
  std::string error;
  if (!RunHelperStart(run, &result, &error)) return Fail(error);
  if (!result.stopped) return Fail("helper did not end with STOPPED and exit status 0");
  PrintOrderedRun("start", result, !run.recorder_library.empty(), false);
  return 0;
}

// The floor: the engine brings up its device as it does for the helper, then
// the recorded texts run one after another, split where READY was printed;
// the M after it that ran before the signal (the look that follows READY)
// are left out.
int RunFloorCommand(const std::map<std::string, std::string>& options) {
  for (const char* required : {"engine", "config", "dat-dir", "record", "split", "mode"}) {
    if (!options.count(required)) return Fail(std::string("floor needs --") + required);
  }
  const std::vector<RecordedCommand> commands = ReadRecordedCommands(options.at("record"));
  const size_t split = std::strtoul(options.at("split").c_str(), nullptr, 10);
  const size_t skip = options.count("skip") ? std::strtoul(options.at("skip").c_str(), nullptr, 10) : 0;
  const bool direct = options.at("mode") == "direct";
  EngineLibrary engine;
  std::string error;
  if (LoadEngineLibrary(options.at("engine"), &engine, &error) != EngineLoadOutcome::kLoaded) {
    return Fail("engine not loadable: " + error);
  }
  const std::string request =
      Base64Encode(BuildEngineRequest(options.at("dat-dir"), options.at("config")));
  const double engine_started = NowMs();
  if (!StartEngine(engine, request).success) return Fail("engine did not start");
  if (!direct) PrintSample("engine_start_ms", NowMs() - engine_started);

  const std::string mode = direct ? "direct" : "shell";
  size_t through_shell = 0;
  // The replayer's own CPU is the floor for the helper's own CPU: what any
  // program pays to start these commands and wait for them.
  const auto replay = [&](const std::string& phase, size_t begin, size_t end) {
    const double cpu_before = ProcessCpuMs(getpid());
    const double started = NowMs();
    if (direct) {
      through_shell += ReplayDirectly(commands, begin, end);
    } else {
      ReplayThroughShell(commands, begin, end);
    }
    PrintSample(mode + "_" + phase + "_ms", NowMs() - started);
    PrintSample(mode + "_" + phase + "_cpu_ms", ProcessCpuMs(getpid()) - cpu_before);
  };
  replay("connect", 0, split);
  if (options.count("between")) (void)!std::system(options.at("between").c_str());
  replay("disconnect", split + skip, commands.size());
  if (direct) PrintSample("direct_through_shell", static_cast<double>(through_shell));
  StopEngine(engine);
  UnloadEngineLibrary(&engine);
  return 0;
}

// A program's start-up and exit alone, e.g. the helper in its validate mode.
int RunStartupCommand(const std::map<std::string, std::string>& options,
                      const std::vector<std::string>& argv) {
  if (!options.count("repeat") || argv.empty()) return Fail("startup needs --repeat and a command");
  for (int i = 0; i < std::atoi(options.at("repeat").c_str()); ++i) {
    double wall_ms = 0;
    double cpu_ms = 0;
    if (!RunToEnd(argv, &wall_ms, &cpu_ms)) return Fail("the command failed");
    PrintSample("startup_ms", wall_ms);
    PrintSample("startup_cpu_ms", cpu_ms);
  }
  return 0;
}

int RunPassCommand(const std::map<std::string, std::string>& options) {
  if (!options.count("app") || !options.count("repeat")) return Fail("pass needs --app, --repeat");
  SampleTable samples;
  std::string error;
  if (!TimeMembershipPass(options.at("app"), std::atoi(options.at("repeat").c_str()), &samples,
                          &error)) {
    return Fail(error);
  }
  PrintSamples(samples);
  return 0;
}

int RunScaleCommand(const std::map<std::string, std::string>& options) {
  for (const char* required : {"config-bytes", "policy-bytes", "repeat"}) {
    if (!options.count(required)) return Fail(std::string("scale needs --") + required);
  }
  SampleTable samples;
  std::string error;
  if (!TimeInputScale(std::strtoul(options.at("config-bytes").c_str(), nullptr, 10),
                      std::strtoul(options.at("policy-bytes").c_str(), nullptr, 10),
                      std::atoi(options.at("repeat").c_str()), &samples, &error)) {
    return Fail(error);
  }
  PrintSamples(samples);
  return 0;
}

// Takes a piece away with one command and times until the firewall's
// notification of the change that makes the check pass again: the moment
// the helper's restore was committed, not when a poll happened to see it.
int RunRestoreCommand(const std::map<std::string, std::string>& options) {
  for (const char* required : {"take", "check", "figure", "repeat"}) {
    if (!options.count(required)) return Fail(std::string("restore needs --") + required);
  }
  const int events = OpenFirewallEvents();
  if (events < 0) return Fail("no firewall notifications to time the restore by");
  const std::string check = options.at("check") + " >/dev/null 2>&1";
  constexpr double kGiveUpMs = 5000;
  // Restores of one piece closer together than this are paced by the
  // helper; each round starts past it.
  constexpr useconds_t kPastThePause = 1200 * 1000;
  for (int i = 0; i < std::atoi(options.at("repeat").c_str()); ++i) {
    usleep(kPastThePause);
    DrainFirewallEvents(events);
    const double started = NowMs();
    // Its status is not looked at: the helper may put a piece back between
    // two of its commands, and the last one then fails.
    (void)!std::system(options.at("take").c_str());
    double restored = -1;
    while (restored < 0 && NowMs() - started < kGiveUpMs) {
      pollfd wait{events, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      const double notified = NowMs();
      DrainFirewallEvents(events);
      if (std::system(check.c_str()) == 0) restored = notified;
    }
    if (restored < 0) return Fail("not restored within 5 s: " + options.at("take"));
    PrintSample(options.at("figure"), restored - started);
  }
  close(events);
  return 0;
}

// Per round the median of a batch of lookups to each server, the two
// alternating lookup by lookup so both see the same moment's load.
int RunLookupCommand(const std::map<std::string, std::string>& options) {
  for (const char* required : {"redirected", "direct", "name", "repeat", "batch"}) {
    if (!options.count(required)) return Fail(std::string("lookup needs --") + required);
  }
  const int batch = std::atoi(options.at("batch").c_str());
  if (batch < 1) return Fail("lookup needs a batch of at least 1");
  for (int round = 0; round < std::atoi(options.at("repeat").c_str()); ++round) {
    std::map<std::string, std::vector<double>> times;
    for (int i = 0; i < batch; ++i) {
      for (const char* server : {"redirected", "direct"}) {
        const double ms = TimeOneLookup(options.at(server), options.at("name"));
        if (ms < 0) return Fail("no answer from " + options.at(server));
        times[server].push_back(ms);
      }
    }
    for (auto& [server, values] : times) {
      std::sort(values.begin(), values.end());
      PrintSample(std::string("lookup_") + server + "_ms", values[values.size() / 2]);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: bench_driver helper|floor|startup|pass|scale|restore|lookup|switch|start OPTIONS");
  // Results keep the original standard output; the replayed tools, like the
  // helper's, print wherever they like without mixing into them.
  g_results_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (g_results_fd < 0 || null_fd < 0) return Fail("cannot set up output");
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  fcntl(g_results_fd, F_SETFD, FD_CLOEXEC);

  std::vector<std::string> rest;
  const std::map<std::string, std::string> options = ParseOptions(argc, argv, &rest);
  const std::string command = argv[1];
  if (command == "helper") return RunHelperCommand(options, rest);
  if (command == "floor") return RunFloorCommand(options);
  if (command == "startup") return RunStartupCommand(options, rest);
  if (command == "pass") return RunPassCommand(options);
  if (command == "scale") return RunScaleCommand(options);
  if (command == "restore") return RunRestoreCommand(options);
  if (command == "lookup") return RunLookupCommand(options);
  if (command == "switch") return RunSwitchCommand(options, rest);
  if (command == "start") return RunStartCommand(options, rest);
  return Fail("unknown subcommand " + command);
}
