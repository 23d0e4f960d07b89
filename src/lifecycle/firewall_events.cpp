#include "lifecycle/firewall_events.h"

#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

namespace {

bool IsHelperTable(int family, const std::string& table) {
  if (family == NFPROTO_IPV4 || family == NFPROTO_IPV6) {
    return table == "filter" || table == "mangle" || table == "nat";
  }
  // The kill switch guard keeps a table in the bridge family too.
  return (family == NFPROTO_INET || family == NFPROTO_BRIDGE) && table.rfind("zelmo-vpn", 0) == 0;
}

// The message's table: attribute 1 of every nf_tables object message (the
// table's own name, or the name of the table a chain, rule, set or object
// belongs to). False when it has none (the generation message that ends
// each transaction). Read with copies: the buffer need not be aligned.
bool MessageTable(const unsigned char* message, size_t length, int* family, std::string* table) {
  if (length < NLMSG_HDRLEN + sizeof(nfgenmsg)) return false;
  const unsigned char* payload = message + NLMSG_HDRLEN;
  const size_t payload_length = length - NLMSG_HDRLEN;
  nfgenmsg gen;
  std::memcpy(&gen, payload, sizeof(gen));
  *family = gen.nfgen_family;
  size_t offset = NLMSG_ALIGN(sizeof(nfgenmsg));
  while (offset + sizeof(nlattr) <= payload_length) {
    nlattr attribute;
    std::memcpy(&attribute, payload + offset, sizeof(attribute));
    if (attribute.nla_len < sizeof(nlattr) || offset + attribute.nla_len > payload_length) {
      return false;
    }
    if ((attribute.nla_type & NLA_TYPE_MASK) == 1) {
      const char* text = reinterpret_cast<const char*>(payload + offset + NLA_HDRLEN);
      *table = std::string(text, strnlen(text, attribute.nla_len - NLA_HDRLEN));
      return true;
    }
    offset += NLA_ALIGN(attribute.nla_len);
  }
  return false;
}

}  // namespace

bool FirewallMessagesConcernHelper(const void* data, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t offset = 0;
  while (offset + NLMSG_HDRLEN <= length) {
    nlmsghdr header;
    std::memcpy(&header, bytes + offset, sizeof(header));
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) return true;
    const int subsystem = header.nlmsg_type >> 8;
    const int type = header.nlmsg_type & 0xff;
    if (subsystem == NFNL_SUBSYS_NFTABLES && type != NFT_MSG_NEWGEN) {
      int family = 0;
      std::string table;
      if (!MessageTable(bytes + offset, header.nlmsg_len, &family, &table) ||
          IsHelperTable(family, table)) {
        return true;
      }
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return false;
}

bool DrainFirewallEvents(int fd) {
  alignas(nlmsghdr) char buffer[65536];
  bool concerned = false;
  for (;;) {
    const ssize_t received = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (received > 0) {
      concerned |= FirewallMessagesConcernHelper(buffer, static_cast<size_t>(received));
      continue;
    }
    if (received < 0 && errno == EINTR) continue;
    // ENOBUFS: notifications were lost while the helper was busy; the look
    // that follows reads the whole firewall, so nothing is missed.
    if (received < 0 && errno == ENOBUFS) {
      concerned = true;
      continue;
    }
    return concerned;
  }
}
