// Which libraries secure-execution mode loads, on real files below /tmp
// (itself sticky and root-owned). Needs root to give files away.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "lifecycle/library_trust.h"

namespace {

constexpr uid_t kNobody = 65534;

class LibraryTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create files of other owners";
    char name[] = "/tmp/lvh-trust.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    base_ = name;
    // base/root: 0755 root; base/user: nobody's; base/sticky: 1777;
    // base/open: 0777; each with a root-owned directory "inner" too.
    for (const auto& [dir, mode, owner] :
         {std::tuple{"root", 0755, 0u}, {"user", 0755, kNobody}, {"sticky", 01777, 0u},
          {"open", 0777, 0u}}) {
      const std::string path = base_ + "/" + dir;
      ASSERT_EQ(0, mkdir(path.c_str(), 0755));
      ASSERT_EQ(0, chown(path.c_str(), owner, 0));
      ASSERT_EQ(0, chmod(path.c_str(), mode));
      ASSERT_EQ(0, mkdir((path + "/inner").c_str(), 0755));
      MakeFile(path + "/lib.so", 0644, 0);
      MakeFile(path + "/inner/lib.so", 0644, 0);
    }
    MakeFile(base_ + "/root/group_writable.so", 0664, 0);
    MakeFile(base_ + "/root/nobodys.so", 0644, kNobody);
    ASSERT_EQ(0, symlink("../root/lib.so", (base_ + "/user/link.so").c_str()));
    ASSERT_EQ(0, symlink("../user/lib.so", (base_ + "/root/to_user.so").c_str()));
  }
  void TearDown() override {
    if (!base_.empty()) std::system(("rm -rf " + base_).c_str());
  }
  static void MakeFile(const std::string& path, mode_t mode, uid_t owner) {
    std::ofstream(path) << "not really a library\n";
    ASSERT_EQ(0, chown(path.c_str(), owner, 0));
    ASSERT_EQ(0, chmod(path.c_str(), mode));
  }
  std::string base_;
};

TEST_F(LibraryTrust, AcceptsOnlyWhatRootAloneCouldHavePlaced) {
  struct Case {
    std::string path;        // below base_, or as given when it has no slash
    std::string resolved;    // expected load path below base_; empty: refused
    std::string reason;      // part of the error text when refused
  };
  const Case cases[] = {
      {"/root/lib.so", "/root/lib.so", ""},
      {"/root/../root/./lib.so", "/root/lib.so", ""},
      // A user's link to a trusted file loads the trusted file itself.
      {"/user/link.so", "/root/lib.so", ""},
      {"/sticky/inner/lib.so", "/sticky/inner/lib.so", ""},
      {"/root/to_user.so", "", "directory " + base_ + "/user is not owned by root"},
      {"/user/lib.so", "", "directory " + base_ + "/user is not owned by root"},
      {"/user/inner/lib.so", "", "directory " + base_ + "/user is not owned by root"},
      {"/sticky/lib.so", "", "directory " + base_ + "/sticky is writable by group or others"},
      {"/open/lib.so", "", "directory " + base_ + "/open is writable by group or others"},
      {"/open/inner/lib.so", "", "directory " + base_ + "/open is writable by group or others"},
      {"/root/group_writable.so", "", "group_writable.so is writable by group or others"},
      {"/root/nobodys.so", "", "nobodys.so is not owned by root"},
      {"/root", "", "/root is not a regular file"},
      {"/root/missing.so", "", "missing.so: No such file or directory"},
      {"libXray.so", "", "libXray.so: refused in secure-execution mode: a library name without"},
  };
  for (const Case& c : cases) {
    const std::string path = c.path.find('/') == 0 ? base_ + c.path : c.path;
    std::string resolved;
    std::string error;
    const bool trusted = CheckLibraryTrusted(path, &resolved, &error);
    EXPECT_EQ(!c.resolved.empty(), trusted) << c.path << ": " << error;
    if (trusted) {
      EXPECT_EQ(base_ + c.resolved, resolved) << c.path;
    } else {
      EXPECT_NE(std::string::npos, error.find(c.reason)) << c.path << ": " << error;
    }
  }
}

// The verdict on facts alone: on a filesystem a user can supply (mounted
// nosuid, as removable media and user mounts are) or serve (FUSE), owner
// and mode prove nothing.
TEST(JudgeLibraryChain, RefusesWhatAUserControlledFilesystemHolds) {
  const PathFacts root_file{true, true, 0, S_IFREG | 0644, true, false, false};
  const PathFacts root_dir{true, false, 0, S_IFDIR | 0755, true, false, false};
  const auto with = [](PathFacts facts, bool nosuid, bool fuse, bool known = true) {
    facts.nosuid = nosuid;
    facts.fuse = fuse;
    facts.filesystem_known = known;
    return facts;
  };
  struct Case {
    const char* what;
    PathFacts file;
    PathFacts media_dir;  // /media/img, the mount point
    std::string why;      // empty: trusted
  };
  const Case cases[] = {
      {"root's filesystem", root_file, root_dir, ""},
      {"file on nosuid", with(root_file, true, false), with(root_dir, true, false),
       "/media/img/lib.so is on a filesystem mounted nosuid"},
      {"file on FUSE", with(root_file, true, true), with(root_dir, true, true),
       "/media/img/lib.so is on a FUSE filesystem"},
      {"FUSE without nosuid", with(root_file, false, true), root_dir,
       "/media/img/lib.so is on a FUSE filesystem"},
      {"directory on nosuid", root_file, with(root_dir, true, false),
       "directory /media/img is on a filesystem mounted nosuid"},
      {"directory on FUSE", root_file, with(root_dir, false, true),
       "directory /media/img is on a FUSE filesystem"},
      {"filesystem unknown", with(root_file, false, false, false), root_dir,
       "/media/img/lib.so is on a filesystem that cannot be examined"},
      {"owner before filesystem", with({true, true, kNobody, S_IFREG | 0644}, true, false), root_dir,
       "/media/img/lib.so is not owned by root"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.why, JudgeLibraryChain("/media/img/lib.so", c.file,
                                       {{"/media/img", c.media_dir}, {"/media", root_dir},
                                        {"/", root_dir}}))
        << c.what;
  }
}

}  // namespace
