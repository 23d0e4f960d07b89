#pragma once

#include <string>

// Whether a library may be loaded in secure-execution mode, where a file
// the caller can write would run with CAP_NET_ADMIN. The path is resolved
// (every symbolic link followed) and the result must be a regular file
// owned by root and writable by no one else. Its own directory must be
// owned by root and writable by no one else, sticky or not; every directory
// above it must be owned by root and either writable by no one else or
// sticky (such as /tmp): there the entry below, which belongs to root, can
// be renamed or replaced by root alone. So nothing on the resolved path can
// change between this check and the load.
//
// On success *resolved is the path to load. On failure *error says why.
bool CheckLibraryTrusted(const std::string& path, std::string* resolved, std::string* error);
