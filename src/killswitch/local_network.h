#pragma once

#include <string>
#include <vector>

// --allow-lan: the local network passes the kill switch and the lockdown
// block, through the physical devices only, in both families:
//
// - IPv4: 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, the
//   link-local multicast of 224.0.0.0/24 (mDNS among it), SSDP's
//   239.255.255.250, and limited and directed broadcast;
// - IPv6: fe80::/10, fc00::/7 and link-scope multicast ff02::/16.
//
// By destination alone, never by what the network says is on-link: a
// hostile network can claim any prefix, so a public one stays refused.
// Name lookups (port 53) to these addresses stay refused too: they would
// leave outside the tunnel, where --dns sends them through it.

// The rules the kill switch chain of FAMILY (AF_INET or AF_INET6) takes
// before its final REJECT, in the form iptables-save lists them (after
// "-A CHAIN "). The chain sees the device of a packet's first route:
// traffic the routes send into the tunnel (TUN_NAME, a screened word) is
// not local, and the ICMP bypass's marked pings first routed there do not
// pass as such.
std::vector<std::string> LocalNetworkChainRules(int family, const std::string& tun_name);

// The nft chain of that name in the guard's table and in the block, with
// its rules as "nft list" lists them. A tunnel device of any kind (TUN,
// PPP, ...) has no Ethernet link layer and so no local network: only
// devices with one (wired, wireless, bridges) take part.
inline constexpr const char* kLocalNetworkChain = "local-network";
std::vector<std::string> LocalNetworkTableRules();
// The rule of a chain that hands a packet to it.
std::string LocalNetworkJump();
