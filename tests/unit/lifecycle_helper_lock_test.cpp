#include <gtest/gtest.h>

#include "lifecycle/helper_lock.h"

TEST(FdInfoNamesTunDevice, OnlyTheIffLineOfThatDeviceCounts) {
  struct Case {
    const char* fdinfo;
    bool holds;
  };
  const Case cases[] = {
      {"pos:\t0\nflags:\t02000002\nmnt_id:\t25\nino:\t1043\niff:\tzelmo-vpn-lock\n", true},
      {"pos:\t0\nflags:\t02\niff:\tzelmo-vpn-lock", true},
      {"pos:\t0\nflags:\t02\niff:\tqtun0\n", false},
      {"pos:\t0\nflags:\t02\niff:\tzelmo-vpn-lock2\n", false},
      {"pos:\t0\nflags:\t02\nmnt_id:\t25\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.holds, FdInfoNamesTunDevice(c.fdinfo, kHelperLockDevice)) << c.fdinfo;
  }
}
