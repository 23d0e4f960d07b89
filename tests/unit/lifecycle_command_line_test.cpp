#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lifecycle/command_line.h"

namespace {

HelperMode ModeOf(const std::vector<std::string>& args) { return SelectMode(ParseCommandLine(args)); }

TEST(SelectMode, FollowsThePrecedenceOfTheModes) {
  const std::string policy = "{\"enabled\":false}";
  const struct {
    std::vector<std::string> args;
    HelperMode mode;
  } cases[] = {
      {{}, HelperMode::kMissingArguments},
      {{"--lib", "/l.so"}, HelperMode::kMissingArguments},
      {{"--lib", "/l.so", "--config", ""}, HelperMode::kMissingArguments},
      {{"--lib", "", "--config", "/c.json"}, HelperMode::kMissingArguments},
      {{"--lib", "/l.so", "--config", "/c.json"}, HelperMode::kRun},
      {{"--validate-app-bypass-policy", policy}, HelperMode::kValidate},
      {{"--validate-app-bypass-policy", ""}, HelperMode::kValidate},
      // Any privileged mode outranks validation.
      {{"--lib", "/l.so", "--config", "/c.json", "--validate-app-bypass-policy", policy},
       HelperMode::kRun},
      {{"--cleanup", "--validate-app-bypass-policy", policy}, HelperMode::kCleanup},
      {{"--cleanup", "--lib", "/l.so", "--config", "/c.json"}, HelperMode::kCleanup},
      {{"--apply-app-bypass-policy", policy, "--cleanup"}, HelperMode::kApply},
      {{"--apply-app-bypass-policy", policy, "--lib", "/l", "--config", "/c"}, HelperMode::kApply},
      {{"--cleanup", "--apply-app-bypass-policy", policy, "--remove-app-bypass-policy"},
       HelperMode::kRemove},
      {{"--remove-app-bypass-policy", "--lib", "/l", "--config", "/c"}, HelperMode::kRemove},
      // The lockdown modes outrank every other, --block first.
      {{"--block"}, HelperMode::kBlock},
      {{"--unblock"}, HelperMode::kUnblock},
      {{"--unblock", "--block"}, HelperMode::kBlock},
      {{"--remove-app-bypass-policy", "--cleanup", "--unblock", "--lib", "/l", "--config", "/c"},
       HelperMode::kUnblock},
      {{"--lib", "/l", "--config", "/c", "--kill-switch", "--allow-lan", "--block"},
       HelperMode::kBlock},
      {{"--allow-lan"}, HelperMode::kMissingArguments},
      {{"--kill-switch"}, HelperMode::kMissingArguments},
      {{"--app-routing-policy", policy}, HelperMode::kMissingArguments},
      // A value option at the very end is ignored as a whole.
      {{"--apply-app-bypass-policy"}, HelperMode::kMissingArguments},
      {{"--validate-app-bypass-policy"}, HelperMode::kMissingArguments},
      {{"--lib", "/l.so", "--config"}, HelperMode::kMissingArguments},
      // A value is never read as an option.
      {{"--tun", "--cleanup"}, HelperMode::kMissingArguments},
      {{"--dat-dir", "--remove-app-bypass-policy"}, HelperMode::kMissingArguments},
      // Only exact option names count.
      {{"--lib=/l.so", "--config=/c.json"}, HelperMode::kMissingArguments},
      {{"--Cleanup", "-cleanup", "cleanup", "--cleanup=1"}, HelperMode::kMissingArguments},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& arg : c.args) joined += "[" + arg + "] ";
    EXPECT_EQ(c.mode, ModeOf(c.args)) << joined;
  }
}

// Every field of a parsed command line in one comparable text.
std::string Describe(const CommandLine& line) {
  std::string flags;
  flags += line.cleanup ? 'C' : '-';
  flags += line.kill_switch ? 'K' : '-';
  flags += line.remove_policy ? 'R' : '-';
  flags += line.apply_policy ? 'A' : '-';
  flags += line.validate_policy ? 'V' : '-';
  flags += line.block ? 'B' : '-';
  flags += line.unblock ? 'U' : '-';
  flags += line.allow_lan ? 'L' : '-';
  return "lib=" + line.library_path + " config=" + line.config_path + " dat=" + line.data_dir +
         " tun=" + line.tun_name + " bypass=" + line.bypass_prefixes + " policy=" +
         line.policy_text + " flags=" + flags;
}

TEST(ParseCommandLine, StoresEveryValueAndFlag) {
  EXPECT_EQ(
      "lib=/l.so config=/c.json dat=/d tun=qtun0 bypass=10.0.0.0/8 policy={} flags=CKR--BUL",
      Describe(ParseCommandLine({"--lib", "/l.so", "--config", "/c.json", "--dat-dir", "/d",
                                 "--tun", "qtun0", "--bypass-prefixes", "10.0.0.0/8",
                                 "--app-routing-policy", "{}", "--kill-switch", "--cleanup",
                                 "--remove-app-bypass-policy", "--block", "--unblock",
                                 "--allow-lan"})));
}

TEST(ParseCommandLine, DefaultsAreEmptyAndFalse) {
  EXPECT_EQ("lib= config= dat= tun= bypass= policy= flags=--------",
            Describe(ParseCommandLine({"stray", "--unknown", "value"})));
}

TEST(ParseCommandLine, ValuesAreTakenVerbatimAndTheLastOneWins) {
  const CommandLine line = ParseCommandLine(
      {"--tun", "--lib", "--config", "", "--config", "/second.json", "--dat-dir", " spaced "});
  EXPECT_EQ("--lib", line.tun_name);
  EXPECT_EQ("", line.library_path);
  EXPECT_EQ("/second.json", line.config_path);
  EXPECT_EQ(" spaced ", line.data_dir);
}

TEST(ParseCommandLine, ThePolicyOptionsShareOneValue) {
  const CommandLine line = ParseCommandLine({"--apply-app-bypass-policy", "first",
                                             "--validate-app-bypass-policy", "second",
                                             "--app-routing-policy", "third"});
  EXPECT_EQ("third", line.policy_text);
  EXPECT_TRUE(line.apply_policy);
  EXPECT_TRUE(line.validate_policy);

  const CommandLine trailing = ParseCommandLine({"--app-routing-policy", "kept",
                                                 "--apply-app-bypass-policy"});
  EXPECT_EQ("kept", trailing.policy_text);
  EXPECT_FALSE(trailing.apply_policy);
}

TEST(ParseCommandLine, DnsTellsAnEmptyValueFromNone) {
  EXPECT_FALSE(ParseCommandLine({"--dns"}).dns_given);
  const CommandLine empty = ParseCommandLine({"--dns", ""});
  EXPECT_TRUE(empty.dns_given);
  EXPECT_EQ("", empty.dns);
  EXPECT_EQ("10.0.0.53", ParseCommandLine({"--dns", "x", "--dns", "10.0.0.53"}).dns);
}

TEST(IsPrivilegedMode, EverythingButValidationAndTheMissingArgumentsError) {
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kRun));
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kRemove));
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kApply));
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kCleanup));
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kBlock));
  EXPECT_TRUE(IsPrivilegedMode(HelperMode::kUnblock));
  EXPECT_FALSE(IsPrivilegedMode(HelperMode::kValidate));
  EXPECT_FALSE(IsPrivilegedMode(HelperMode::kMissingArguments));
}

}  // namespace
