#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// Whether a library may be loaded in secure-execution mode, where a file
// the caller can write would run with CAP_NET_ADMIN. The path is resolved
// (every symbolic link followed) and the result must be a regular file
// owned by root and writable by no one else. Its own directory must be
// owned by root and writable by no one else, sticky or not; every directory
// above it must be owned by root and either writable by no one else or
// sticky (such as /tmp): there the entry below, which belongs to root, can
// be renamed or replaced by root alone. So nothing on the resolved path can
// change between this check and the load. Neither the file nor any of those
// directories may lie on a filesystem mounted nosuid or on a FUSE
// filesystem: there owner and mode are what the user who supplied the
// medium, or who runs the FUSE server, made them.
//
// On success *resolved is the path to load. On failure *error says why.
bool CheckLibraryTrusted(const std::string& path, std::string* resolved, std::string* error);

// What the check knows of one path of the resolved chain.
struct PathFacts {
  bool found = false;  // lstat succeeded
  bool regular = false;
  uid_t owner = 0;
  mode_t mode = 0;
  bool filesystem_known = false;  // statvfs and statfs succeeded
  bool nosuid = false;
  bool fuse = false;
};

// The verdict on those facts: empty when the library may be loaded, else
// why not. `directories` runs from the library's own directory up to "/".
std::string JudgeLibraryChain(const std::string& canonical, const PathFacts& file,
                              const std::vector<std::pair<std::string, PathFacts>>& directories);
