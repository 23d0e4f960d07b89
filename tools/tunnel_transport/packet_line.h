#pragma once

#include <cstddef>
#include <string>

// One packet-log line for an IP packet read from the TUN device:
// "<ipv4|ipv6> <udp|tcp|icmp|icmpv6|other> <src> <dst> <dstport or 0>".
// Empty for anything that is not a whole enough IPv4 or IPv6 header.
std::string DescribePacket(const unsigned char* packet, size_t length);
