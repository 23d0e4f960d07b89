#include "lifecycle/firewall_events.h"

#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "lifecycle/shell.h"

bool ReportsNfTablesBackend(const std::string& version_text) {
  return version_text.find("(nf_tables)") != std::string::npos;
}

int OpenFirewallEvents() {
  if (!ReportsNfTablesBackend(ExecCommandOutput("iptables -V 2>/dev/null")) ||
      !ReportsNfTablesBackend(ExecCommandOutput("ip6tables -V 2>/dev/null"))) {
    return -1;
  }
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  const int group = NFNLGRP_NFTABLES;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void DrainFirewallEvents(int fd) {
  char buffer[8192];
  for (;;) {
    const ssize_t received = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (received > 0) continue;
    if (received < 0 && errno == EINTR) continue;
    // ENOBUFS: notifications were lost while the helper was busy; the
    // check that follows reads the whole state anyway, so nothing is missed.
    if (received < 0 && errno == ENOBUFS) continue;
    return;
  }
}
