#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Timings in ms, keyed by figure name, one entry per repetition.
using SampleTable = std::map<std::string, std::vector<double>>;

// One membership pass for a policy selecting `app`, beside `pgrep -x app`
// over the same process table, alternating; and, for comparison, a pass for
// a name no process has and the same reads done minimally. Creates the
// app-routing cgroup first.
bool TimeMembershipPass(const std::string& app, int repeat, SampleTable* samples,
                        std::string* error);

// Inputs at the sizes the helper accepts.
std::string MakeLargeConfig(size_t bytes);        // TUN and endpoint at the end
std::string MakeAdversarialConfig(size_t bytes);  // keys repeated, never a value
std::string MakeFullPolicy(size_t bytes);         // enabled, as many apps as fit

// Extraction on a configuration of `config_bytes` and validation and parsing
// of a policy of `policy_bytes`; checks the results too.
bool TimeInputScale(size_t config_bytes, size_t policy_bytes, int repeat, SampleTable* samples,
                    std::string* error);
