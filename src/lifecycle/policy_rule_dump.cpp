#include "lifecycle/policy_rule_dump.h"

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A dump of a few hundred rules spans a handful of buffers; a kernel that
// keeps sending past this is not answering the question.
constexpr int kMaxDumpParts = 256;

uint32_t ReadU32(const unsigned char* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// The attributes the helper's rules carry, or that the kernel adds to every
// rule; anything else selects more than the helper's rules do.
void ReadAttribute(uint16_t type, const unsigned char* payload, size_t size, DumpedRule* rule) {
  const bool has_u32 = size >= sizeof(uint32_t);
  switch (type) {
    case FRA_PRIORITY:
      if (has_u32) rule->priority = ReadU32(payload);
      break;
    case FRA_FWMARK:
      if (has_u32) rule->fwmark = ReadU32(payload);
      break;
    case FRA_FWMASK:
      if (has_u32) rule->fwmask = ReadU32(payload);
      break;
    case FRA_TABLE:
      if (has_u32) rule->table = ReadU32(payload);
      break;
    case FRA_IP_PROTO:
      if (size >= 1) rule->ip_proto = payload[0];
      break;
    case FRA_PROTOCOL:  // who made the rule, not what it selects
    case FRA_UNSPEC:
      break;
    case FRA_SUPPRESS_PREFIXLEN:  // every rule has one; -1 is "none"
      if (!has_u32 || ReadU32(payload) != UINT32_MAX) rule->other_selectors = true;
      break;
    default:
      rule->other_selectors = true;
      break;
  }
}

DumpedRule ReadRule(const unsigned char* message, size_t length) {
  DumpedRule rule;
  fib_rule_hdr header;
  std::memcpy(&header, message + NLMSG_HDRLEN, sizeof(header));
  rule.table = header.table;  // FRA_TABLE, when present, has the full number
  rule.action = header.action;
  rule.other_selectors = header.dst_len != 0 || header.src_len != 0 || header.tos != 0 ||
                         (header.flags & FIB_RULE_INVERT) != 0;
  size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(fib_rule_hdr));
  while (offset + sizeof(rtattr) <= length) {
    rtattr attribute;
    std::memcpy(&attribute, message + offset, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length - offset) break;
    ReadAttribute(attribute.rta_type & NLA_TYPE_MASK, message + offset + RTA_LENGTH(0),
                  attribute.rta_len - RTA_LENGTH(0), &rule);
    offset += RTA_ALIGN(attribute.rta_len);
  }
  return rule;
}

uint32_t NumberOf(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

}  // namespace

std::string PolicyRuleDumpRequest(uint8_t family, uint32_t sequence) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(fib_rule_hdr)));
  header.nlmsg_type = RTM_GETRULE;
  header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  header.nlmsg_seq = sequence;
  fib_rule_hdr rule{};
  rule.family = family;
  std::string message(reinterpret_cast<const char*>(&header), sizeof(header));
  message.append(NLMSG_HDRLEN - sizeof(header), '\0');
  message.append(reinterpret_cast<const char*>(&rule), sizeof(rule));
  return message;
}

RuleDumpProgress ParsePolicyRuleDump(const void* data, size_t length, uint32_t sequence,
                                     std::vector<DumpedRule>* rules) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t offset = 0;
  // Read with copies: the buffer need not be aligned.
  while (offset < length) {
    nlmsghdr header;
    if (length - offset < NLMSG_HDRLEN) return RuleDumpProgress::kFailed;
    std::memcpy(&header, bytes + offset, sizeof(header));
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) {
      return RuleDumpProgress::kFailed;
    }
    if (header.nlmsg_seq == sequence) {
      // An error, or a dump the kernel marks as inconsistent (the rules
      // changed meanwhile; the mark may come on its end too), says nothing
      // reliable.
      if (header.nlmsg_type == NLMSG_ERROR || (header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
        return RuleDumpProgress::kFailed;
      }
      if (header.nlmsg_type == NLMSG_DONE) return RuleDumpProgress::kDone;
      if (header.nlmsg_type == RTM_NEWRULE) {
        if (header.nlmsg_len < NLMSG_LENGTH(sizeof(fib_rule_hdr))) return RuleDumpProgress::kFailed;
        rules->push_back(ReadRule(bytes + offset, header.nlmsg_len));
      }
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return RuleDumpProgress::kMore;
}

bool DumpPolicyRules(uint8_t family, std::vector<DumpedRule>* rules) {
  constexpr uint32_t kSequence = 1;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  // A kernel that never answers must not hold up a start.
  const timeval wait_limit{1, 0};
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const std::string request = PolicyRuleDumpRequest(family, kSequence);
  std::vector<DumpedRule> dumped;
  RuleDumpProgress progress = RuleDumpProgress::kFailed;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait_limit, sizeof(wait_limit)) == 0 &&
      sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
             sizeof(kernel)) == static_cast<ssize_t>(request.size())) {
    alignas(nlmsghdr) char buffer[32768];
    progress = RuleDumpProgress::kMore;
    for (int part = 0; part < kMaxDumpParts && progress == RuleDumpProgress::kMore; ++part) {
      const ssize_t received = recv(fd, buffer, sizeof(buffer), MSG_TRUNC);
      if (received < 0 && errno == EINTR) continue;
      // Nothing within the wait, or a message larger than the buffer.
      if (received <= 0 || static_cast<size_t>(received) > sizeof(buffer)) {
        progress = RuleDumpProgress::kFailed;
        break;
      }
      progress = ParsePolicyRuleDump(buffer, static_cast<size_t>(received), kSequence, &dumped);
    }
  }
  close(fd);
  if (progress != RuleDumpProgress::kDone) return false;
  rules->insert(rules->end(), dumped.begin(), dumped.end());
  return true;
}

bool DumpedRuleIs(const DumpedRule& dumped, const OwnedRule& owned, uint8_t also_protocol) {
  return !dumped.other_selectors && dumped.action == FR_ACT_TO_TBL &&
         (dumped.ip_proto == 0 || dumped.ip_proto == also_protocol) &&
         dumped.priority == NumberOf(owned.priority) && dumped.fwmark == NumberOf(owned.fwmark) &&
         dumped.fwmask == UINT32_MAX && dumped.table == NumberOf(owned.table);
}

bool HoldsRule(const std::vector<DumpedRule>& rules, const OwnedRule& owned, uint8_t also_protocol) {
  for (const DumpedRule& rule : rules) {
    if (DumpedRuleIs(rule, owned, also_protocol)) return true;
  }
  return false;
}
