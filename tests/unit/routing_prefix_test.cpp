#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "routing/ipv4_prefix.h"

namespace {

TEST(Ipv4PrefixTest, NormalizesValidPrefixes) {
  const std::pair<std::string, std::string> cases[] = {
      {"10.1.2.3/8", "10.0.0.0/8"},       {"192.168.1.77/24", "192.168.1.0/24"},
      {"192.168.1.7/32", "192.168.1.7/32"}, {"1.2.3.4/0", "0.0.0.0/0"},
      {"10.0.0.0/08", "10.0.0.0/8"},      {"255.255.255.255/31", "255.255.255.254/31"},
      {"172.31.255.1/12", "172.16.0.0/12"}, {"0.0.0.0/00", "0.0.0.0/0"},
  };
  for (const auto& [input, canonical] : cases) EXPECT_EQ(canonical, NormalizeIpv4Cidr(input)) << input;
}

TEST(Ipv4PrefixTest, RejectsInvalidPrefixes) {
  for (const std::string input :
       {"10.0.0.0", "10.0.0.0/33", "10.0.0.0/100", "10.0.0.0/ 8", "10.0.0.0/-1", "10.0.0.0/+8",
        "10.0.0.0/8/8", "10.0/8", "/8", "10.0.0.0/", "", "/", " 10.0.0.0/8", "10.0.0.0 /8",
        "010.0.0.0/8", "256.0.0.0/8", "10.0.0.0/8 ", "::1/8", "10.0.0.0/0x8", "a.b.c.d/8"}) {
    EXPECT_EQ("", NormalizeIpv4Cidr(input)) << "'" << input << "'";
  }
}

TEST(Ipv4PrefixTest, ParsesBypassList) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {" 10.0.0.0/8 ,192.168.1.5/24,,10.1.2.3/8,bad", {"10.0.0.0/8", "192.168.1.0/24"}},
      {"", {}},
      {",", {}},
      {"10.0.0.0/8,", {"10.0.0.0/8"}},
      {"\t172.16.0.1/12\r\n,172.16.9.9/12", {"172.16.0.0/12"}},
      {"203.0.113.9,203.0.113.9/32", {"203.0.113.9/32"}},
      // Shell syntax and over-long items are dropped before parsing.
      {"10.0.0.0/8;reboot,$(id)/8,1.2.3.4/32 #,000000000000000000000000010.0.0.0/8",
       {}},
      {"192.0.2.0/24,192.0.2.0/24,192.0.2.1/24,198.51.100.0/24", {"192.0.2.0/24", "198.51.100.0/24"}},
  };
  for (const auto& [csv, expected] : cases) EXPECT_EQ(expected, ParseIpv4CidrsCsv(csv)) << csv;
}

}  // namespace
