#include "lifecycle/nf_tables_probe.h"

#include <arpa/inet.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// One attribute: header, the text with its terminating NUL, padding.
void AppendStringAttribute(uint16_t type, const std::string& text, std::string* message) {
  nlattr attribute{};
  attribute.nla_len = static_cast<uint16_t>(NLA_HDRLEN + text.size() + 1);
  attribute.nla_type = type;
  message->append(reinterpret_cast<const char*>(&attribute), sizeof(attribute));
  message->append(text);
  message->push_back('\0');
  message->append(NLA_ALIGN(attribute.nla_len) - attribute.nla_len, '\0');
}

// The header is written last, once the length is known.
std::string GetRequest(uint8_t message_type, uint8_t family, uint32_t sequence,
                       const std::string& attributes) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)) +
                                           attributes.size());
  header.nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | message_type);
  header.nlmsg_flags = NLM_F_REQUEST;
  header.nlmsg_seq = sequence;
  nfgenmsg gen{};
  gen.nfgen_family = family;
  gen.version = NFNETLINK_V0;
  gen.res_id = htons(0);
  std::string message(reinterpret_cast<const char*>(&header), sizeof(header));
  message.append(NLMSG_HDRLEN - sizeof(header), '\0');
  message.append(reinterpret_cast<const char*>(&gen), sizeof(gen));
  message.append(NLMSG_ALIGN(sizeof(nfgenmsg)) - sizeof(gen), '\0');
  return message + attributes;
}

NfTablesPresence Ask(const std::string& request, uint32_t sequence) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd < 0) return NfTablesPresence::kUnknown;
  // A kernel that never answers must not hold up a start.
  const timeval wait_limit{1, 0};
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  NfTablesPresence presence = NfTablesPresence::kUnknown;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait_limit, sizeof(wait_limit)) == 0 &&
      sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
             sizeof(kernel)) == static_cast<ssize_t>(request.size())) {
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
      const ssize_t received = recv(fd, buffer, sizeof(buffer), 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) break;
      bool answered = false;
      presence = ParseNfTablesGetReply(buffer, static_cast<size_t>(received), sequence, &answered);
      if (answered) break;
    }
  }
  close(fd);
  return presence;
}

}  // namespace

std::string NfTablesGetTableRequest(uint8_t family, const std::string& table, uint32_t sequence) {
  std::string attributes;
  AppendStringAttribute(NFTA_TABLE_NAME, table, &attributes);
  return GetRequest(NFT_MSG_GETTABLE, family, sequence, attributes);
}

std::string NfTablesGetChainRequest(uint8_t family, const std::string& table,
                                    const std::string& chain, uint32_t sequence) {
  std::string attributes;
  AppendStringAttribute(NFTA_CHAIN_TABLE, table, &attributes);
  AppendStringAttribute(NFTA_CHAIN_NAME, chain, &attributes);
  return GetRequest(NFT_MSG_GETCHAIN, family, sequence, attributes);
}

NfTablesPresence ParseNfTablesGetReply(const void* data, size_t length, uint32_t sequence,
                                       bool* answered) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  *answered = false;
  size_t offset = 0;
  // Read with copies: the buffer need not be aligned.
  while (offset + NLMSG_HDRLEN <= length) {
    nlmsghdr header;
    std::memcpy(&header, bytes + offset, sizeof(header));
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) {
      *answered = true;
      return NfTablesPresence::kUnknown;
    }
    if (header.nlmsg_seq == sequence) {
      *answered = true;
      if (header.nlmsg_type != NLMSG_ERROR) {
        const int subsystem = header.nlmsg_type >> 8;
        const int type = header.nlmsg_type & 0xff;
        const bool object = subsystem == NFNL_SUBSYS_NFTABLES &&
                            (type == NFT_MSG_NEWTABLE || type == NFT_MSG_NEWCHAIN);
        return object ? NfTablesPresence::kPresent : NfTablesPresence::kUnknown;
      }
      if (header.nlmsg_len < NLMSG_HDRLEN + sizeof(nlmsgerr)) return NfTablesPresence::kUnknown;
      nlmsgerr error;
      std::memcpy(&error, bytes + offset + NLMSG_HDRLEN, sizeof(error));
      return error.error == -ENOENT ? NfTablesPresence::kAbsent : NfTablesPresence::kUnknown;
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return NfTablesPresence::kUnknown;
}

NfTablesPresence ProbeNfTablesTable(uint8_t family, const std::string& table) {
  constexpr uint32_t kSequence = 1;
  return Ask(NfTablesGetTableRequest(family, table, kSequence), kSequence);
}

NfTablesPresence ProbeNfTablesChain(uint8_t family, const std::string& table,
                                    const std::string& chain) {
  constexpr uint32_t kSequence = 1;
  return Ask(NfTablesGetChainRequest(family, table, chain, kSequence), kSequence);
}
