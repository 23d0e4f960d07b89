#include "lifecycle/route_events.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {


void CountMessage(const unsigned char* message, const nlmsghdr& header,
                  RouteEventSummary* summary) {
  if (header.nlmsg_type == RTM_DELROUTE && header.nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) {
    rtmsg route;
    std::memcpy(&route, message + NLMSG_HDRLEN, sizeof(route));
    if (route.rtm_table != RT_TABLE_LOCAL) {
      if (route.rtm_family == AF_INET) summary->routes_removed4 = true;
      if (route.rtm_family == AF_INET6) summary->routes_removed6 = true;
    }
  }
  switch (header.nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
      summary->links = true;
      break;
    case RTM_NEWADDR:
    case RTM_DELADDR:
      summary->addresses = true;
      break;
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
      summary->routes = true;
      break;
    case RTM_NEWRULE:
    case RTM_DELRULE:
      summary->rules = true;
      break;
    default:
      break;
  }
}

}  // namespace

int OpenRouteEvents() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  // The rule groups have no RTMGRP_ constants; their bits follow the
  // RTNLGRP_ numbering like the others.
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                    RTMGRP_IPV6_ROUTE | (1u << (RTNLGRP_IPV4_RULE - 1)) |
                    (1u << (RTNLGRP_IPV6_RULE - 1));
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

RouteEventSummary SummarizeRouteMessages(const void* data, size_t length) {
  RouteEventSummary summary;
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t offset = 0;
  while (length - offset >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, bytes + offset, sizeof(header));
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) break;
    CountMessage(bytes + offset, header, &summary);
    const size_t step = NLMSG_ALIGN(header.nlmsg_len);
    if (step > length - offset) break;
    offset += step;
  }
  return summary;
}

RouteEventSummary DrainRouteEvents(int fd) {
  RouteEventSummary total;
  alignas(nlmsghdr) unsigned char buffer[16384];
  for (;;) {
    const ssize_t received = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        total.overrun = true;
        continue;
      }
      break;  // EAGAIN: nothing more waits
    }
    if (received == 0) break;
    const RouteEventSummary part = SummarizeRouteMessages(buffer, static_cast<size_t>(received));
    total.links |= part.links;
    total.addresses |= part.addresses;
    total.routes |= part.routes;
    total.rules |= part.rules;
    total.routes_removed4 |= part.routes_removed4;
    total.routes_removed6 |= part.routes_removed6;
  }
  return total;
}
