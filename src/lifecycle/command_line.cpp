#include "lifecycle/command_line.h"

namespace {

// Value options write into one field; the three policy options share one.
std::string* FindValueField(CommandLine* command_line, const std::string& option) {
  if (option == "--lib") return &command_line->library_path;
  if (option == "--config") return &command_line->config_path;
  if (option == "--dat-dir") return &command_line->data_dir;
  if (option == "--tun") return &command_line->tun_name;
  if (option == "--bypass-prefixes") return &command_line->bypass_prefixes;
  if (option == "--dns") return &command_line->dns;
  if (option == "--app-routing-policy" || option == "--apply-app-bypass-policy" ||
      option == "--validate-app-bypass-policy") {
    return &command_line->policy_text;
  }
  return nullptr;
}

bool* FindFlag(CommandLine* command_line, const std::string& option) {
  if (option == "--cleanup") return &command_line->cleanup;
  if (option == "--kill-switch") return &command_line->kill_switch;
  if (option == "--remove-app-bypass-policy") return &command_line->remove_policy;
  if (option == "--block") return &command_line->block;
  if (option == "--unblock") return &command_line->unblock;
  if (option == "--allow-lan") return &command_line->allow_lan;
  if (option == "--lockdown") return &command_line->lockdown;
  return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine command_line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (std::string* field = FindValueField(&command_line, arg)) {
      // A value option with nothing after it is ignored as a whole, so a
      // trailing policy option selects no mode.
      if (i + 1 >= args.size()) continue;
      *field = args[++i];
      if (arg == "--apply-app-bypass-policy") command_line.apply_policy = true;
      if (arg == "--validate-app-bypass-policy") command_line.validate_policy = true;
      if (arg == "--dns") command_line.dns_given = true;
    } else if (bool* flag = FindFlag(&command_line, arg)) {
      *flag = true;
    }
  }
  return command_line;
}

HelperMode SelectMode(const CommandLine& command_line) {
  const bool run_requested = !command_line.library_path.empty() && !command_line.config_path.empty();
  // The lockdown modes decide what the host may send at all, so no other
  // mode's option turns them into something else: --block first, so that a
  // command line asking for both fails closed (traffic stays blocked), then
  // --unblock, so that a request to end the block is never answered by a
  // run or a cleanup that leaves the host blocked.
  if (command_line.block) return HelperMode::kBlock;
  if (command_line.unblock) return HelperMode::kUnblock;
  if (command_line.remove_policy) return HelperMode::kRemove;
  if (command_line.apply_policy) return HelperMode::kApply;
  if (command_line.cleanup) return HelperMode::kCleanup;
  if (run_requested) return HelperMode::kRun;
  if (command_line.validate_policy) return HelperMode::kValidate;
  return HelperMode::kMissingArguments;
}

bool IsPrivilegedMode(HelperMode mode) {
  return mode == HelperMode::kRemove || mode == HelperMode::kApply ||
         mode == HelperMode::kCleanup || mode == HelperMode::kRun || mode == HelperMode::kBlock ||
         mode == HelperMode::kUnblock;
}
