#include "lifecycle/library_trust.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool WritableByOthers(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The directory part of an absolute path without a trailing slash.
std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

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
  struct stat status {};
  if (lstat(canonical.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = refused + canonical + " is not a regular file";
    return false;
  }
  if (status.st_uid != 0 || WritableByOthers(status)) {
    *error = refused + canonical + (status.st_uid != 0 ? " is not owned by root"
                                                       : " is writable by group or others");
    return false;
  }
  bool own_directory = true;
  for (std::string directory = ParentDirectory(canonical);; directory = ParentDirectory(directory)) {
    if (lstat(directory.c_str(), &status) != 0 || status.st_uid != 0) {
      *error = refused + "directory " + directory + " is not owned by root";
      return false;
    }
    const bool sticky = (status.st_mode & S_ISVTX) != 0;
    if (WritableByOthers(status) && (own_directory || !sticky)) {
      *error = refused + "directory " + directory + " is writable by group or others";
      return false;
    }
    if (directory == "/") break;
    own_directory = false;
  }
  *resolved = canonical;
  return true;
}
