#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "approuting/cgroup_location.h"
#include "approuting/member_origins.h"
#include "approuting/membership.h"

namespace {

TEST(MemberOrigins, CgroupDirOfAProcess) {
  struct Case {
    std::string proc_pid_cgroup;
    std::string dir;
  };
  const std::vector<Case> cases = {
      {"0::/user.slice/app-term-42.scope\n", "/sys/fs/cgroup/user.slice/app-term-42.scope"},
      {"1:name=systemd:/x\n0::/a b/c\\x2d.scope\n", "/sys/fs/cgroup/a b/c\\x2d.scope"},
      {"0::/a", "/sys/fs/cgroup/a"},
      {"0::/\n", "/sys/fs/cgroup"},
      // Outside the reader's cgroup namespace, or no clean path below the mount.
      {"0::/../outside\n", ""},
      {"0::/a/../../etc\n", ""},
      {"0::/a/./b\n", ""},
      {"0::/a//b\n", ""},
      {"0::/a/\n", ""},
      {"0::a\n", ""},
      {"0::\n", ""},
      {"0::/a\tb\n", ""},
      // A name holding a line feed must not pass for a path.
      {"0::/a\n0::/b\n", ""},
      {"0::/a\nb\n", ""},
      {"1:cpu:/a\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proc_pid_cgroup);
    EXPECT_EQ(c.dir, ProcessCgroupDir(c.proc_pid_cgroup));
  }
}

TEST(MemberOrigins, ParentAndStartTimeFromStat) {
  // After the parent: 17 fields (process group to interval timer), then
  // the start time, as in "1 (init) S 0 0 0 0 -1 4194560 ... 0 25 ...".
  const std::string middle = " 5 5 0 -1 4194560 26622 70 0 3 116 547 2 3 20 0 1 0 ";
  struct Case {
    std::string text;
    bool parsed;
    int parent_id;
    unsigned long long start_time;
  };
  const std::vector<Case> cases = {
      {"4242 (sleep) S 17" + middle + "987654321 1000 10", true, 17, 987654321},
      {"4242 (a) b) (c) S 99" + middle + "25 1000 10", true, 99, 25},
      {"7 (x y\nz) R 1" + middle + "31", true, 1, 31},
      {"4242 (sleep) S 17" + middle, false, 0, 0},
      {"4242 (sleep) S -3" + middle + "25", false, 0, 0},
      {"4242 sleep S 17", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ProcessStat stat;
    EXPECT_EQ(c.parsed, ParseProcessStat(c.text, &stat));
    if (c.parsed) {
      EXPECT_EQ(c.parent_id, stat.parent_id);
      EXPECT_EQ(c.start_time, stat.start_time);
    }
  }
}

TEST(MemberOrigins, MembershipListsAsIds) {
  EXPECT_EQ((std::vector<int>{3, 12, 400}), ParseProcessIdList("400\n3\n12\n"));
  EXPECT_EQ((std::vector<int>{}), ParseProcessIdList(""));
  EXPECT_EQ((std::vector<int>{5}), ParseProcessIdList("0\n5\n"));
}

}  // namespace
