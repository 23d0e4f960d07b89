#include <gtest/gtest.h>

#include <string>

#include "routing/icmp_bypass.h"

namespace {

TEST(IcmpBypassTable, FreeOnlyWhenNothingButTheBypassRouteIsThere) {
  const struct {
    const char* listing;
    bool free;
  } cases[] = {
      {"", true},
      {"\n", true},
      {"default via 192.0.2.1 dev eth0 \n", true},
      // Left by a run through another gateway, or on a link that is down.
      {"default via 10.0.0.1 dev wlan0 linkdown \n", true},
      {"default dev eth0 scope link \n", false},
      {"default via 192.0.2.1 dev eth0 proto static metric 50 \n", false},
      {"default via 192.0.2.1 dev eth0 \n10.8.0.0/24 dev wg0 scope link \n", false},
      {"unreachable default \n", false},
      {"192.168.5.0/24 via 192.0.2.1 dev eth0 \n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.free, IsIcmpBypassTableFree(c.listing)) << c.listing;
  }
}

}  // namespace
