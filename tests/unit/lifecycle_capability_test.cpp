#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "lifecycle/capability.h"

namespace {

// Shaped like the kernel's /proc/<pid>/status.
const char kStatusText[] =
    "Name:\tlinux_vpn_helper\n"
    "Umask:\t0022\n"
    "CapInh:\t0000000000000000\n"
    "CapPrm:\t000001ffffffffff\n"
    "CapEffective:\tffff\n"
    "CapEff:\t0000000000001000\n"
    "CapBnd:\t000001ffffffffff\n"
    "CapEff:\t0000000000000000\n"
    "NoNewPrivs:\t1\n"
    "Blanks:  \t \n"
    "Trailing: \tvalue \t\n"
    " Indented:\tx\n"
    "Last:\tno line feed";

TEST(FindProcStatusValue, TakesTheFirstLineStartingWithKeyAndColon) {
  const struct {
    std::string key;
    std::string value;
  } cases[] = {
      {"CapEff", "0000000000001000"},  // not CapEffective, and the first CapEff
      {"CapPrm", "000001ffffffffff"},
      {"NoNewPrivs", "1"},
      {"Name", "linux_vpn_helper"},
      {"Blanks", ""},
      {"Trailing", "value \t"},
      {"Indented", ""},  // the key must open the line
      {"Last", "no line feed"},
      {"CapAmb", ""},
      {"capeff", ""},
      {"Cap", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, FindProcStatusValue(kStatusText, c.key)) << c.key;
}

TEST(FindProcStatusValue, EmptyTextGivesEmptyValue) {
  EXPECT_EQ("", FindProcStatusValue("", "CapEff"));
}

TEST(ReadProcStatusValue, ReadsThisProcess) {
  EXPECT_EQ(16u, ReadProcStatusValue("CapEff").size());
  EXPECT_EQ("", ReadProcStatusValue("NoSuchKey"));
}

TEST(ParseCapabilityMask, FollowsHexStrtoull) {
  const struct {
    std::string text;
    bool parsed;
    uint64_t mask;
  } cases[] = {
      {"0000000000001000", true, 0x1000},
      {"000001ffffffffff", true, 0x1ffffffffffULL},
      {"0x1000", true, 0x1000},
      {" \t1000", true, 0x1000},
      {"1000 trailing", true, 0x1000},
      {"ffffffffffffffff", true, UINT64_MAX},
      {"0000000000000000", true, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"zz", false, 0},
      {"1ffffffffffffffff", false, 0},  // 65 bits
  };
  for (const auto& c : cases) {
    uint64_t mask = 0;
    EXPECT_EQ(c.parsed, ParseCapabilityMask(c.text, &mask)) << c.text;
    if (c.parsed) {
      EXPECT_EQ(c.mask, mask) << c.text;
    }
  }
}

}  // namespace
