#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "approuting/cgroup_location.h"

namespace {

struct Expected {
  std::string match_path;
  std::string fs_dir;
  std::string parent_fs_dir;
};

void ExpectPaths(const Expected& expected, const AppCgroupPaths& paths) {
  EXPECT_EQ(expected.match_path, paths.match_path);
  EXPECT_EQ(expected.fs_dir, paths.fs_dir);
  EXPECT_EQ(expected.parent_fs_dir, paths.parent_fs_dir);
}

const Expected kAtRoot = {"zelmo-vpn-app-routing", "/sys/fs/cgroup/zelmo-vpn-app-routing",
                          "/sys/fs/cgroup"};
const Expected kService = {"system.slice/vpn-helper.service/zelmo-vpn-app-routing",
                           "/sys/fs/cgroup/system.slice/vpn-helper.service/zelmo-vpn-app-routing",
                           "/sys/fs/cgroup/system.slice/vpn-helper.service"};

TEST(AppCgroupLocation, DerivedFromTheFirstUnifiedLine) {
  const std::string session = "user.slice/user-1000.slice/session-manager.service/app.slice";
  ExpectPaths({session + "/zelmo-vpn-app-routing",
               "/sys/fs/cgroup/" + session + "/zelmo-vpn-app-routing", "/sys/fs/cgroup/" + session},
              DeriveAppCgroupPaths("12:pids:/user.slice\n0::/" + session + "/app-term-42.scope\n"));

  struct Case {
    std::string text;
    const Expected& expected;
  };
  const std::vector<Case> cases = {
      {"0::/system.slice/vpn-helper.service\n", kService},
      {"0::/system.slice/vpn-helper.service", kService},
      {"0:: \t///system.slice/vpn-helper.service//\r\n", kService},
      {"0::/ /system.slice/vpn-helper.service/ \n", kService},
      {"1:name=systemd:/x\n0::/system.slice/vpn-helper.service\n0::/other.slice\n", kService},
      {"0::/\n", kAtRoot},
      {"0::///\n", kAtRoot},
      {"0::\n", kAtRoot},
      {"", kAtRoot},
      {"1:cpu:/system.slice\n 0::/system.slice\n", kAtRoot},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ExpectPaths(c.expected, DeriveAppCgroupPaths(c.text));
  }
}

TEST(AppCgroupLocation, CutAfterTheFirstAppSlice) {
  struct Case {
    std::string own_line;
    std::string match_path;
  };
  const std::vector<Case> cases = {
      {"0::/a/app.slice/b/app.slice/c.scope", "a/app.slice/zelmo-vpn-app-routing"},
      // Cut inside the component that merely begins with the marker.
      {"0::/a/app.slice-extra/x.scope", "a/app.slice/zelmo-vpn-app-routing"},
      {"0::/a/app.slice", "a/app.slice/zelmo-vpn-app-routing"},
      // A path beginning with the slice has lost its leading slash: no cut.
      {"0::/app.slice/x.scope", "app.slice/x.scope/zelmo-vpn-app-routing"},
      {"0::/a/App.slice/x.scope", "a/App.slice/x.scope/zelmo-vpn-app-routing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.own_line);
    EXPECT_EQ(c.match_path, DeriveAppCgroupPaths(c.own_line).match_path);
  }
  EXPECT_EQ("/sys/fs/cgroup/a/app.slice",
            DeriveAppCgroupPaths("0::/a/app.slice-extra/x").parent_fs_dir);
}

TEST(AppCgroupLocation, JoinPath) {
  EXPECT_EQ("x", JoinPath("", "x"));
  EXPECT_EQ("a/x", JoinPath("a/", "x"));
  EXPECT_EQ("a/x", JoinPath("a", "x"));
  EXPECT_EQ("a//x", JoinPath("a", "/x"));
}

TEST(AppCgroupLocation, MatchPathScreen) {
  const std::string name = "/zelmo-vpn-app-routing";
  std::string at_limit = std::string(512 - name.size(), 'a') + name;
  EXPECT_TRUE(IsValidAppCgroupMatchPath(at_limit));
  EXPECT_FALSE(IsValidAppCgroupMatchPath("b" + at_limit));
  for (const std::string& good :
       {std::string("zelmo-vpn-app-routing"), std::string("u@1000.service/a:b_c/zelmo-vpn-app-routing"),
        std::string("a..b/.x/zelmo-vpn-app-routing")}) {
    EXPECT_TRUE(IsValidAppCgroupMatchPath(good)) << good;
  }
  for (const std::string& bad :
       {std::string(), std::string("a b/zelmo-vpn-app-routing"), std::string("a\\b/zelmo-vpn-app-routing"),
        std::string("a;b/zelmo-vpn-app-routing"), std::string("a\"b/zelmo-vpn-app-routing"),
        std::string("caf\xc3\xa9/zelmo-vpn-app-routing"),
        // Only a helper outside its cgroup namespace's root sees these.
        std::string("../x/zelmo-vpn-app-routing"), std::string("../../../../tmp/zelmo-vpn-app-routing"),
        std::string("a/./zelmo-vpn-app-routing"), std::string("a/..")}) {
    EXPECT_FALSE(IsValidAppCgroupMatchPath(bad)) << bad;
  }
}

// Group creation against ordinary directories standing in for the cgroup
// filesystem; the three values are set directly, as resolution would.
class AppCgroupCreation : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/approuting-test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    scratch_ = pattern;
  }
  void TearDown() override {
    g_app_cgroup_match_path.clear();
    g_app_cgroup_fs_dir.clear();
    g_app_cgroup_parent_fs_dir.clear();
    ASSERT_EQ(0, std::system(("rm -rf " + scratch_).c_str()));
  }
  void PlaceGroup(const std::string& match_path) {
    g_app_cgroup_match_path = match_path;
    g_app_cgroup_fs_dir = scratch_ + "/" + match_path;
    g_app_cgroup_parent_fs_dir = scratch_;
  }
  bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
  }
  std::string scratch_;
};

TEST_F(AppCgroupCreation, CreatesTheGroupOnceAndAcceptsItAgain) {
  PlaceGroup("zelmo-vpn-app-routing");
  std::string error;
  ASSERT_TRUE(EnsureAppRoutingCgroup(&error));
  EXPECT_EQ("", error);
  EXPECT_TRUE(Exists(g_app_cgroup_fs_dir + "/cgroup.procs"));
  EXPECT_TRUE(EnsureAppRoutingCgroup(&error));
  EXPECT_EQ("", error);
}

TEST_F(AppCgroupCreation, RefusesBadPathsBeforeCreatingAnything) {
  for (const std::string& bad : {std::string("a b"), std::string("x\\y"), std::string("..")}) {
    PlaceGroup(bad + "/zelmo-vpn-app-routing");
    // The parent exists, so only the screen can stop the creation.
    mkdir((scratch_ + "/" + bad).c_str(), 0755);
    std::string error = "old text";
    EXPECT_FALSE(EnsureAppRoutingCgroup(&error));
    EXPECT_EQ("invalid cgroup path for app routing", error);
    EXPECT_FALSE(Exists(g_app_cgroup_fs_dir));
  }
}

TEST_F(AppCgroupCreation, ReportsAMissingParentAndAnUnopenableMembershipFile) {
  PlaceGroup("missing/zelmo-vpn-app-routing");
  std::string error;
  EXPECT_FALSE(EnsureAppRoutingCgroup(&error));
  EXPECT_EQ("failed to create app routing cgroup; enable cgroup v2 delegation for the user session "
            "or run the helper through a root-owned service",
            error);
  EXPECT_FALSE(Exists(scratch_ + "/missing"));

  PlaceGroup("zelmo-vpn-app-routing");
  ASSERT_EQ(0, mkdir(g_app_cgroup_fs_dir.c_str(), 0755));
  ASSERT_EQ(0, mkdir((g_app_cgroup_fs_dir + "/cgroup.procs").c_str(), 0755));
  EXPECT_FALSE(EnsureAppRoutingCgroup(&error));
  EXPECT_EQ("app routing cgroup is not writable; enable cgroup v2 delegation for the user session "
            "or run the helper through a root-owned service",
            error);
}

}  // namespace
