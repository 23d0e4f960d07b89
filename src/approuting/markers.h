#pragma once

// Fixed texts of the app-routing state; later runs and the cleanup mode
// recognise what belongs to the helper by them.
inline constexpr const char* kCgroupMountPoint = "/sys/fs/cgroup";
inline constexpr const char* kAppCgroupName = "zelmo-vpn-app-routing";
inline constexpr const char* kCgroupProcsFile = "/cgroup.procs";
// Where an earlier layout kept the group.
inline constexpr const char* kOlderAppCgroupMatchPath = "zelmo-vpn/app-routing";
inline constexpr const char* kAppPacketMark = "0x66";
inline constexpr const char* kBypassTable = "1066";
inline constexpr const char* kTunnelOnlyTable = "1067";
inline constexpr const char* kAppRulePriority = "1066";
// Comment on the firewall rules that give the selected programs' traffic
// its way back (source NAT, connection marks).
inline constexpr const char* kAppRoutingMarker = "zelmo-vpn-app-routing";
