#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

using namespace std::string_literals;

TEST(Trim, RemovesOnlySpaceTabCarriageReturnAndLineFeedAtTheEnds) {
  const struct {
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"", ""},
      {" \t\r\n \n", ""},
      {"x", "x"},
      {"  a b  ", "a b"},
      {"\n2: qtun0    inet 172.19.0.1/30\n3: x\n", "2: qtun0    inet 172.19.0.1/30\n3: x"},
      {"\va\v", "\va\v"},
      {"\fa ", "\fa"},
      {"\xc2\xa0" "a", "\xc2\xa0" "a"},  // non-ASCII space stays
      {" a\0b "s, "a\0b"s},
  };
  for (const auto& c : cases) EXPECT_EQ(c.trimmed, Trim(c.text)) << c.text;
}

TEST(JoinList, SeparatesWithABareComma) {
  const struct {
    std::vector<std::string> items;
    std::string joined;
  } cases[] = {
      {{}, ""},
      {{"10.0.0.0/8"}, "10.0.0.0/8"},
      {{"10.0.0.0/8", "192.168.0.0/16", "1.1.1.1/32"}, "10.0.0.0/8,192.168.0.0/16,1.1.1.1/32"},
      {{"", ""}, ","},
      {{"a,b", "c"}, "a,b,c"},
      {{"x", "x"}, "x,x"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.joined, JoinList(c.items));
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lvh-unit.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string dir_;
};

using ReadFileToStringTest = TempDir;

TEST_F(ReadFileToStringTest, ReadsEveryByte) {
  std::string content = "first\r\nsecond\0third\n"s;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";
  EXPECT_EQ(content, ReadFileToString(Write("big", content)));
}

// A failing read (as of a /proc entry whose process has just exited) is
// empty text, never an exception.
TEST_F(ReadFileToStringTest, ReadErrorGivesEmptyText) { EXPECT_EQ("", ReadFileToString(dir_)); }

TEST_F(ReadFileToStringTest, MissingOrEmptyFileGivesEmptyText) {
  EXPECT_EQ("", ReadFileToString(dir_ + "/missing"));
  EXPECT_EQ("", ReadFileToString(Write("empty", "")));
  EXPECT_EQ("", ReadFileToString(""));
}

// Anything but a regular file within the limit reads as no file, at once:
// /dev/zero must not grow without end, a FIFO must not block.
TEST_F(ReadFileToStringTest, RegularFileWithinTheLimitOnly) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const struct {
    std::string path;
    std::string content;
  } cases[] = {
      {Write("fits", "12345678"), "12345678"},
      {Write("one-over", "123456789"), ""},
      {Write("empty", ""), ""},
      {"/dev/zero", ""},
      {fifo, ""},
      {dir_, ""},
      {dir_ + "/missing", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.content, ReadRegularFileToString(c.path, 8)) << c.path;
}

TEST(ExecCommandOutput, ReturnsOutputLongerThanOneRead) {
  // fgets reads at most 255 bytes at a time: long lines and many lines must
  // come back whole.
  const std::string long_line(1000, 'x');
  EXPECT_EQ(long_line + "\n", ExecCommandOutput("printf '%s\\n' " + long_line));
  for (const size_t length : {254u, 255u, 256u, 510u, 511u}) {
    const std::string line(length, 'y');
    EXPECT_EQ(line + "\n" + line, ExecCommandOutput("printf '%s\\n%s' " + line + " " + line))
        << length;
  }
  std::string numbers;
  for (int i = 1; i <= 3000; ++i) numbers += std::to_string(i) + "\n";
  EXPECT_EQ(numbers, ExecCommandOutput("seq 1 3000"));
}

TEST(ExecCommandOutput, RunsThroughTheShell) {
  EXPECT_EQ("A\nB\n", ExecCommandOutput("printf 'a\\nb\\n' | tr a-z A-Z"));
  EXPECT_EQ("", ExecCommandOutput("echo hidden >/dev/null"));
}

TEST(ExecCommandOutput, FailingCommandsGiveWhatTheyPrinted) {
  EXPECT_EQ("", ExecCommandOutput("true"));
  EXPECT_EQ("", ExecCommandOutput("exit 3"));
  EXPECT_EQ("", ExecCommandOutput("lvh-no-such-command 2>/dev/null"));
  EXPECT_EQ("partial", ExecCommandOutput("printf partial; exit 1"));
  // Standard error is not captured (it shows up in the test log).
  EXPECT_EQ("out\n", ExecCommandOutput("echo out; echo 'expected stderr noise' >&2"));
}

TEST(RunShellCommand, ReturnsTheRawWaitStatus) {
  EXPECT_EQ(0, RunShellCommand("true"));
  EXPECT_EQ(2 << 8, RunShellCommand("exit 2"));
  EXPECT_EQ(127 << 8, RunShellCommand("lvh-no-such-command 2>/dev/null"));
  EXPECT_NE(0, RunShellCommand("false"));
  // A shell killed by a signal: the signal number, as system() gives it.
  EXPECT_EQ(SIGTERM, RunShellCommand("kill -s TERM $$"));
}

volatile std::sig_atomic_t g_interrupts_seen = 0;

// A SIGINT sent while a command runs reaches the caller's handler; system()
// ignores SIGINT in the caller for as long as the command runs, and loses it.
TEST(RunShellCommand, KeepsASigintThatArrivesWhileTheCommandRuns) {
  struct sigaction counting {}, previous {};
  counting.sa_handler = [](int) { g_interrupts_seen = g_interrupts_seen + 1; };
  sigemptyset(&counting.sa_mask);
  sigaction(SIGINT, &counting, &previous);
  g_interrupts_seen = 0;
  const int status = RunShellCommand("kill -s INT $PPID");
  sigaction(SIGINT, &previous, nullptr);
  EXPECT_EQ(0, status);
  EXPECT_EQ(1, g_interrupts_seen);
}

// A terminal's Ctrl-C goes to the whole foreground process group: a command
// in the helper's own group would be killed halfway through a teardown.
TEST(ShellSeams, CommandsLeadAProcessGroupOfTheirOwn) {
  // The fifth field of the shell's stat line is its process group.
  const std::string own_group = "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ]";
  EXPECT_EQ(0, RunShellCommand(own_group));
  EXPECT_EQ("own\n", ExecCommandOutput(own_group + " && echo own"));
  // Outside the foreground group, a write to a terminal set to "tostop"
  // would stop a tool for good unless SIGTTOU (22) is ignored; SIGTTIN (21)
  // likewise for a read.
  EXPECT_EQ(0, RunShellCommand("[ $((0x$(awk '/^SigIgn/ { print $2 }' /proc/$$/status) & 0x300000)) = "
                               "$((0x300000)) ]"));
}

}  // namespace

namespace {

// The tool receives exactly the lines, whatever shell syntax they hold.
TEST(FeedLinesCommand, TheToolReadsTheLinesAsWritten) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"*filter", "-A OUTPUT -j X", "COMMIT"},
      {"it's", "'", "''", "$(touch /nonexistent/x) `id` ; | & > %s %d \\n \\"},
      {"-n", "--", "oifname \"tun0\" { drop; }"},
  };
  for (const std::vector<std::string>& lines : cases) {
    std::string expected;
    for (const std::string& line : lines) expected += line + "\n";
    EXPECT_EQ(expected, ExecCommandOutput(FeedLinesCommand(lines, "cat")));
  }
}

}  // namespace
