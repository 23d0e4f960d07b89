#include "packet_relay.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "packet_line.h"

namespace {

// An address and port in one form for both families; an IPv4 peer seen
// through a dual-stack socket (::ffff:a.b.c.d) counts as IPv4.
struct Endpoint {
  unsigned char address[16] = {};
  size_t size = 0;
  unsigned port = 0;
};

Endpoint EndpointOf(const sockaddr_storage& socket_address) {
  Endpoint endpoint;
  if (socket_address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(socket_address);
    std::memcpy(endpoint.address, &v4.sin_addr, 4);
    endpoint.size = 4;
    endpoint.port = ntohs(v4.sin_port);
  } else if (socket_address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(socket_address);
    const bool mapped = IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr);
    endpoint.size = mapped ? 4 : 16;
    std::memcpy(endpoint.address, v6.sin6_addr.s6_addr + (mapped ? 12 : 0), endpoint.size);
    endpoint.port = ntohs(v6.sin6_port);
  }
  return endpoint;
}

bool SameEndpoint(const Endpoint& a, const Endpoint& b) {
  return a.size != 0 && a.size == b.size && a.port == b.port &&
         std::memcmp(a.address, b.address, a.size) == 0;
}

unsigned PortAt(const unsigned char* bytes) { return (unsigned{bytes[0]} << 8) | bytes[1]; }

// A datagram this end sent to its peer that the kernel routed back into the
// device, as it does when the peer's host route is missing. Carried, it
// would come back wrapped once more, and again, until it no longer fitted.
bool IsOwnDatagram(const unsigned char* packet, size_t length, const Endpoint& peer,
                   unsigned local_port) {
  Endpoint destination;
  size_t udp_offset = 0;
  if (length >= 20 && packet[0] >> 4 == 4) {
    const bool first_fragment = (((packet[6] & 0x1fu) << 8) | packet[7]) == 0;
    if (packet[9] != IPPROTO_UDP || !first_fragment) return false;
    udp_offset = size_t{packet[0] & 0x0fu} * 4;
    destination.size = 4;
    std::memcpy(destination.address, packet + 16, 4);
  } else if (length >= 40 && packet[0] >> 4 == 6) {
    if (packet[6] != IPPROTO_UDP) return false;
    udp_offset = 40;
    destination.size = 16;
    std::memcpy(destination.address, packet + 24, 16);
  } else {
    return false;
  }
  if (udp_offset + 4 > length) return false;
  destination.port = PortAt(packet + udp_offset + 2);
  return PortAt(packet + udp_offset) == local_port && SameEndpoint(destination, peer);
}

unsigned LocalPort(int udp_fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  if (udp_fd < 0 || getsockname(udp_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return EndpointOf(local).port;
}

void LogPacket(int log_fd, const unsigned char* packet, size_t length) {
  if (log_fd < 0) return;
  const std::string line = DescribePacket(packet, length);
  if (line.empty()) return;
  const std::string text = line + "\n";
  (void)!write(log_fd, text.data(), text.size());
}

}  // namespace

int OpenRelaySocket(int family, unsigned port, std::string* error) {
  const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot open a udp socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_storage local{};
  socklen_t local_length = 0;
  if (family == AF_INET6) {
    const int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    auto& v6 = reinterpret_cast<sockaddr_in6&>(local);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    local_length = sizeof(v6);
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(local);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    local_length = sizeof(v4);
  }
  // A wrapped packet is longer than the device's MTU allows on the link:
  // let the kernel fragment it rather than refuse it.
  const int fragment = IP_PMTUDISC_DONT;
  setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &fragment, sizeof(fragment));
  if (family == AF_INET6) {
    const int fragment6 = IPV6_PMTUDISC_DONT;
    setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &fragment6, sizeof(fragment6));
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), local_length) != 0) {
    *error = std::string("cannot bind the udp socket: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

void RelayPackets(RelayEnds ends) {
  const unsigned local_port = LocalPort(ends.udp_fd);
  std::vector<unsigned char> packet(65536);
  pollfd watched[3] = {{ends.wake_fd, POLLIN, 0}, {ends.tun_fd, POLLIN, 0}, {ends.udp_fd, POLLIN, 0}};
  while (true) {
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[0].revents != 0) return;
    // A device deleted under us reports an error for good: stop watching it
    // (and the socket with it) but keep waiting for the wake-up.
    if ((watched[1].revents & POLLIN) != 0) {
      const ssize_t length = read(ends.tun_fd, packet.data(), packet.size());
      if (length > 0) {
        LogPacket(ends.log_fd, packet.data(), static_cast<size_t>(length));
        if (ends.peer_length != 0 &&
            !IsOwnDatagram(packet.data(), static_cast<size_t>(length), EndpointOf(ends.peer),
                           local_port)) {
          sendto(ends.udp_fd, packet.data(), static_cast<size_t>(length), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&ends.peer), ends.peer_length);
        }
      }
    } else if (watched[1].revents != 0) {
      watched[1].fd = -1;
      watched[2].fd = -1;
    }
    if ((watched[2].revents & POLLIN) != 0) {
      sockaddr_storage sender{};
      socklen_t sender_length = sizeof(sender);
      const ssize_t length = recvfrom(ends.udp_fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &sender_length);
      if (length <= 0) continue;
      if (ends.follow_sender) {
        ends.peer = sender;
        ends.peer_length = sender_length;
      } else if (!SameEndpoint(EndpointOf(sender), EndpointOf(ends.peer))) {
        continue;
      }
      (void)!write(ends.tun_fd, packet.data(), static_cast<size_t>(length));
    }
  }
}
