#include "packet_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

std::string AddressText(int family, const unsigned char* bytes) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, bytes, text, sizeof(text));
  return text;
}

// Ports only exist in the first fragment of a TCP or UDP datagram.
unsigned PortAt(const unsigned char* packet, size_t length, size_t offset, bool has_ports) {
  if (!has_ports || offset + 4 > length) return 0;
  return (unsigned{packet[offset + 2]} << 8) | packet[offset + 3];
}

const char* ProtocolName(unsigned protocol, bool ipv6) {
  if (protocol == IPPROTO_UDP) return "udp";
  if (protocol == IPPROTO_TCP) return "tcp";
  if (!ipv6 && protocol == IPPROTO_ICMP) return "icmp";
  if (ipv6 && protocol == IPPROTO_ICMPV6) return "icmpv6";
  return "other";
}

std::string Line(bool ipv6, unsigned protocol, const std::string& source,
                 const std::string& destination, unsigned port) {
  return std::string(ipv6 ? "ipv6 " : "ipv4 ") + ProtocolName(protocol, ipv6) + " " + source +
         " " + destination + " " + std::to_string(port);
}

std::string DescribeIpv4(const unsigned char* packet, size_t length) {
  if (length < 20) return {};
  const size_t header_length = size_t{packet[0] & 0x0fu} * 4;
  const unsigned protocol = packet[9];
  const bool first_fragment = (((packet[6] & 0x1fu) << 8) | packet[7]) == 0;
  const bool has_ports = first_fragment && (protocol == IPPROTO_UDP || protocol == IPPROTO_TCP);
  return Line(false, protocol, AddressText(AF_INET, packet + 12),
              AddressText(AF_INET, packet + 16), PortAt(packet, length, header_length, has_ports));
}

// Walks the extension headers (the kernel's own MLD reports carry a
// hop-by-hop header) to the upper-layer protocol.
std::string DescribeIpv6(const unsigned char* packet, size_t length) {
  if (length < 40) return {};
  unsigned protocol = packet[6];
  size_t offset = 40;
  bool first_fragment = true;
  while (offset + 8 <= length) {
    if (protocol == IPPROTO_HOPOPTS || protocol == IPPROTO_ROUTING ||
        protocol == IPPROTO_DSTOPTS) {
      protocol = packet[offset];
      offset += (size_t{packet[offset + 1]} + 1) * 8;
    } else if (protocol == IPPROTO_FRAGMENT) {
      first_fragment = (((packet[offset + 2] << 8) | packet[offset + 3]) & 0xfff8) == 0;
      protocol = packet[offset];
      offset += 8;
    } else {
      break;
    }
  }
  const bool has_ports = first_fragment && (protocol == IPPROTO_UDP || protocol == IPPROTO_TCP);
  return Line(true, protocol, AddressText(AF_INET6, packet + 8),
              AddressText(AF_INET6, packet + 24), PortAt(packet, length, offset, has_ports));
}

}  // namespace

std::string DescribePacket(const unsigned char* packet, size_t length) {
  if (length == 0) return {};
  switch (packet[0] >> 4) {
    case 4: return DescribeIpv4(packet, length);
    case 6: return DescribeIpv6(packet, length);
    default: return {};
  }
}
