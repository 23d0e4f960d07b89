#pragma once

#include <cstdint>
#include <string>

// The value of the first line of a /proc/<pid>/status text that starts with
// key + ":", with leading blanks dropped; empty when there is none.
std::string FindProcStatusValue(const std::string& status_text, const std::string& key);
std::string ReadProcStatusValue(const std::string& key);

// Parses a CapEff text the way strtoull(.., 16) does; false when no digit
// could be read or the value does not fit in 64 bits.
bool ParseCapabilityMask(const std::string& text, uint64_t* mask);

// Prints the capability line, refuses to go on without an effective
// CAP_NET_ADMIN, then raises it into the inheritable and ambient sets so the
// tools the helper starts hold it too. Prints its own ERROR line on failure.
bool CheckNetAdminCapability();
