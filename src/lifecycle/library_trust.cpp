#include "lifecycle/library_trust.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The filesystem type statfs reports for every FUSE mount.
constexpr unsigned long kFuseSuperMagic = 0x65735546;

bool WritableByOthers(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

// The directory part of an absolute path without a trailing slash.
std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What owner and mode are worth depends on who controls the filesystem.
std::string JudgeFilesystem(const std::string& what, const PathFacts& facts) {
  if (!facts.filesystem_known) return what + " is on a filesystem that cannot be examined";
  if (facts.fuse) return what + " is on a FUSE filesystem";
  if (facts.nosuid) return what + " is on a filesystem mounted nosuid";
  return {};
}

// Thin: the facts are read by the resolved path, which holds no link.
PathFacts ReadPathFacts(const std::string& path) {
  PathFacts facts;
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return facts;
  facts.found = true;
  facts.regular = S_ISREG(status.st_mode);
  facts.owner = status.st_uid;
  facts.mode = status.st_mode;
  struct statvfs mount {};
  struct statfs filesystem {};
  if (statvfs(path.c_str(), &mount) == 0 && statfs(path.c_str(), &filesystem) == 0) {
    facts.filesystem_known = true;
    facts.nosuid = (mount.f_flag & ST_NOSUID) != 0;
    facts.fuse = static_cast<unsigned long>(filesystem.f_type) == kFuseSuperMagic;
  }
  return facts;
}

}  // namespace

std::string JudgeLibraryChain(const std::string& canonical, const PathFacts& file,
                              const std::vector<std::pair<std::string, PathFacts>>& directories) {
  if (!file.found || !file.regular) return canonical + " is not a regular file";
  if (file.owner != 0) return canonical + " is not owned by root";
  if (WritableByOthers(file.mode)) return canonical + " is writable by group or others";
  const std::string file_filesystem = JudgeFilesystem(canonical, file);
  if (!file_filesystem.empty()) return file_filesystem;
  bool own_directory = true;
  for (const auto& [directory, facts] : directories) {
    const std::string what = "directory " + directory;
    if (!facts.found || facts.owner != 0) return what + " is not owned by root";
    const bool sticky = (facts.mode & S_ISVTX) != 0;
    if (WritableByOthers(facts.mode) && (own_directory || !sticky)) {
      return what + " is writable by group or others";
    }
    const std::string directory_filesystem = JudgeFilesystem(what, facts);
    if (!directory_filesystem.empty()) return directory_filesystem;
    own_directory = false;
  }
  return {};
}

bool CheckLibraryTrusted(const std::string& path, std::string* resolved, std::string* error) {
  const std::string refused = path + ": refused in secure-execution mode: ";
  // dlopen would search the loader's directories for a bare name.
  if (path.find('/') == std::string::npos) {
    *error = refused + "a library name without a directory";
    return false;
  }
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const std::string canonical = buffer;
  std::vector<std::pair<std::string, PathFacts>> directories;
  for (std::string directory = ParentDirectory(canonical);; directory = ParentDirectory(directory)) {
    directories.emplace_back(directory, ReadPathFacts(directory));
    if (directory == "/") break;
  }
  const std::string why = JudgeLibraryChain(canonical, ReadPathFacts(canonical), directories);
  if (!why.empty()) {
    *error = refused + why;
    return false;
  }
  *resolved = canonical;
  return true;
}
