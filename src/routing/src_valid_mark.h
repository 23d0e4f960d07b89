#pragma once

#include <set>
#include <string>
#include <vector>

// Strict reverse-path filtering checks an answer's source against the route
// back. The mark an answer gets back on the way in (routing/marked_traffic.h)
// takes part in that check only where the receiving device has
// src_valid_mark set. The helper sets it only on a device where it reads 0,
// and says so with a marker rule in the firewall, so that any later cleanup,
// of the same run or of the cleanup mode, knows to put the 0 back.

inline constexpr const char* kSrcValidMarkMarker = "zelmo-vpn-src-valid-mark";

// "iptables -t mangle ACTION PREROUTING -i DEVICE -m comment --comment ...":
// a rule that does nothing but record that the helper raised the value.
std::string SrcValidMarkMarkerCommand(const std::string& action, const std::string& device);

// The marker as written after "-A PREROUTING " of the mangle table.
std::string SrcValidMarkMarkerRule(const std::string& device);
// The device's value ("0", "1"), empty where it cannot be read or the
// name is not a safe device name; a write to such a name does nothing.
std::string ReadSrcValidMark(const std::string& device);
void WriteSrcValidMark(const std::string& device, const std::string& value);

// Devices with a marker in a "-S PREROUTING" listing of the mangle table
// on which no other rule of the helper's still restores marks: their
// value can go back to 0.
std::vector<std::string> SrcValidMarkDevicesToRelease(const std::string& mangle_prerouting_listing);

// Devices with a marker in such a listing (screened: safe device names).
std::set<std::string> SrcValidMarkMarkedDevices(const std::string& mangle_prerouting_listing);

// The marker alone, once; true when it is in place. For putting back a
// marker that a firewall reload took while the value stays raised.
bool InstallSrcValidMarkMarker(const std::string& device);

// Sets src_valid_mark on the device if it is 0; nothing otherwise.
void RaiseSrcValidMark(const std::string& device);
// Puts 0 back wherever the helper set it and no piece needs it any more.
void ReleaseSrcValidMarks();
