#include "tun_device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/ipv6.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The address (into *address) and length of an "A/N" text of the family.
bool ParsePrefix(int family, const std::string& text, void* address, int* length) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  *length = std::atoi(text.c_str() + slash + 1);
  const int longest = family == AF_INET ? 32 : 128;
  return *length >= 0 && *length <= longest &&
         inet_pton(family, text.substr(0, slash).c_str(), address) == 1;
}

ifreq RequestFor(const std::string& tun_name) {
  ifreq request{};
  std::strncpy(request.ifr_name, tun_name.c_str(), IFNAMSIZ - 1);
  return request;
}

bool AddIpv4Address(const std::string& tun_name, const std::string& prefix, std::string* error) {
  int length = 0;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  if (!ParsePrefix(AF_INET, prefix, &sin.sin_addr, &length)) {
    *error = "bad IPv4 prefix " + prefix;
    return false;
  }
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request = RequestFor(tun_name);
  std::memcpy(&request.ifr_addr, &sin, sizeof(sin));
  bool ok = ioctl(sock, SIOCSIFADDR, &request) == 0;
  sin.sin_addr.s_addr = length == 0 ? 0 : htonl(~uint32_t{0} << (32 - length));
  std::memcpy(&request.ifr_netmask, &sin, sizeof(sin));
  ok = ok && ioctl(sock, SIOCSIFNETMASK, &request) == 0;
  if (!ok) *error = std::string("cannot set IPv4 address: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

bool AddIpv6Address(const std::string& tun_name, const std::string& prefix, std::string* error) {
  int length = 0;
  in6_ifreq request{};
  if (!ParsePrefix(AF_INET6, prefix, &request.ifr6_addr, &length)) {
    *error = "bad IPv6 prefix " + prefix;
    return false;
  }
  const int sock = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq index_request = RequestFor(tun_name);
  bool ok = ioctl(sock, SIOCGIFINDEX, &index_request) == 0;
  request.ifr6_ifindex = index_request.ifr_ifindex;
  request.ifr6_prefixlen = static_cast<uint32_t>(length);
  ok = ok && ioctl(sock, SIOCSIFADDR, &request) == 0;
  if (!ok) *error = std::string("cannot set IPv6 address: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

bool BringUp(const std::string& tun_name, std::string* error) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request = RequestFor(tun_name);
  bool ok = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
  if (!ok) *error = std::string("cannot bring the device up: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

int CreateTun(const std::string& tun_name, std::string* error) {
  if (tun_name.empty() || tun_name.size() >= IFNAMSIZ) {
    *error = "unusable tun name";
    return -1;
  }
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
    return -1;
  }
  ifreq request = RequestFor(tun_name);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    *error = "cannot create tun device: " + std::string(std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int OpenTunDevice(const std::string& name, const std::string& address4,
                  const std::string& address6, std::string* error) {
  const int fd = CreateTun(name, error);
  if (fd < 0) return -1;
  // The IPv6 address goes on after the link is up, when the device has its
  // IPv6 state.
  const bool ready = (address4 == "none" || AddIpv4Address(name, address4, error)) &&
                     BringUp(name, error) &&
                     (address6 == "none" || AddIpv6Address(name, address6, error));
  if (!ready) {
    close(fd);
    return -1;
  }
  return fd;
}
