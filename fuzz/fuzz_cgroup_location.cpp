// The cgroup location is derived from /proc/self/cgroup, which a process can
// steer; the derived paths must keep their shape for any text. (Their shell
// screen sits in the group creation, which every user of the paths passes.)
#include <cstddef>
#include <cstdint>
#include <string>

#include "approuting/cgroup_location.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const AppCgroupPaths paths = DeriveAppCgroupPaths(text);
  const std::string name = "zelmo-vpn-app-routing";
  // The group always sits directly below its parent, and the match path is
  // the group directory relative to the mount point, without outer slashes.
  FUZZ_CHECK(paths.match_path.size() >= name.size());
  FUZZ_CHECK(paths.match_path.compare(paths.match_path.size() - name.size(), name.size(), name) == 0);
  FUZZ_CHECK(paths.match_path.front() != '/');
  FUZZ_CHECK(paths.fs_dir == "/sys/fs/cgroup/" + paths.match_path);
  FUZZ_CHECK(JoinPath(paths.parent_fs_dir, name) == paths.fs_dir);
  return 0;
}
