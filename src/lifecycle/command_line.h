#pragma once

#include <string>
#include <vector>

struct CommandLine {
  std::string library_path;
  std::string config_path;
  std::string data_dir;
  std::string tun_name;
  std::string bypass_prefixes;
  std::string policy_text;
  // --dns: resolver addresses; given tells an empty value from none.
  std::string dns;
  bool dns_given = false;
  bool cleanup = false;
  bool kill_switch = false;
  bool remove_policy = false;
  bool apply_policy = false;
  bool validate_policy = false;
  // The lockdown block's modes, and the local network beside the kill
  // switch (run mode) or the block.
  bool block = false;
  bool unblock = false;
  bool allow_lan = false;
  // Run mode: every end of the run leaves the block (with --kill-switch).
  bool lockdown = false;
};

enum class HelperMode {
  kMissingArguments,
  kValidate,
  kRemove,
  kApply,
  kCleanup,
  kRun,
  kBlock,
  kUnblock,
};

// args are the arguments after the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
HelperMode SelectMode(const CommandLine& command_line);
bool IsPrivilegedMode(HelperMode mode);
