#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(ParseProcComm, DropsTheLineFeedAndShowsUnprintableBytesAsQuestionMarks) {
  struct Case {
    std::string comm;
    std::string command;
  };
  const Case cases[] = {
      {"linux_vpn_helpe\n", "linux_vpn_helpe"},
      {"tunnel_server", "tunnel_server"},
      {"a b\tc\n", "a b?c"},
      {"two\nlines\n", "two?lines"},
      {"\x1b[2Jx\n", "?[2Jx"},
      {"caf\xc3\xa9\n", "caf??"},
      {"\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.command, ParseProcComm(c.comm)) << c.comm;
}

TEST(PickLockHolder, AHelperSeenOnTwoLooksInARowIsSettled) {
  const LockHolder helper{100, "linux_vpn_helpe", true};
  const LockHolder child{230, "linux_vpn_helpe", true};
  const LockHolder shell{231, "sh", false};
  struct Case {
    const char* what;
    std::vector<LockHolder> holders;
    std::vector<int> helpers_before;
    int named;
    bool settled;
  };
  const Case cases[] = {
      {"nobody visible", {}, {100}, 0, false},
      {"a helper seen for the first time", {helper}, {}, 100, false},
      {"the same helper again", {helper}, {100}, 100, true},
      {"another helper than before", {helper}, {230}, 100, false},
      {"a helper and its child, the child seen before", {helper, child}, {230}, 230, true},
      {"a helper and its child, both seen before", {helper, child}, {100, 230}, 100, true},
      {"a shell on its way to exec", {shell}, {231}, 231, false},
      {"a shell and a helper: the helper is named", {shell, child}, {}, 230, false},
  };
  for (const Case& c : cases) {
    bool settled = true;
    const LockHolder named = PickLockHolder(c.holders, c.helpers_before, &settled);
    EXPECT_EQ(c.named, named.pid) << c.what;
    EXPECT_EQ(c.settled, settled) << c.what;
  }
}
