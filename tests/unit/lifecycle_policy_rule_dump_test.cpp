#include "lifecycle/policy_rule_dump.h"

#include <gtest/gtest.h>
#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool LittleEndian() {
  const uint16_t one = 1;
  return *reinterpret_cast<const unsigned char*>(&one) == 1;
}

TEST(PolicyRuleDump, RequestIsOneDumpOfTheFamily) {
  if (!LittleEndian()) GTEST_SKIP() << "byte layout written for little-endian hosts";
  // Length 28, RTM_GETRULE, NLM_F_REQUEST | NLM_F_DUMP, sequence 7; then
  // fib_rule_hdr with only the family set.
  const std::string header = std::string("\x1c\0\0\0" "\x22\0" "\x01\x03" "\x07\0\0\0" "\0\0\0\0", 16);
  EXPECT_EQ(header + std::string("\x0a", 1) + std::string(11, '\0'),
            PolicyRuleDumpRequest(AF_INET6, 7));
}

std::string Attribute(uint16_t type, const void* value, size_t size) {
  rtattr attribute{};
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  attribute.rta_type = type;
  std::string bytes(reinterpret_cast<const char*>(&attribute), sizeof(attribute));
  bytes.append(static_cast<const char*>(value), size);
  bytes.append(RTA_ALIGN(bytes.size()) - bytes.size(), '\0');
  return bytes;
}
std::string U32(uint16_t type, uint32_t value) { return Attribute(type, &value, sizeof(value)); }
std::string U8(uint16_t type, uint8_t value) { return Attribute(type, &value, 1); }

std::string Message(uint16_t type, uint32_t sequence, const std::string& payload, uint16_t flags = 0) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + payload.size());
  header.nlmsg_type = type;
  header.nlmsg_flags = flags;
  header.nlmsg_seq = sequence;
  std::string message(reinterpret_cast<const char*>(&header), sizeof(header));
  message += payload;
  message.append(NLMSG_ALIGN(message.size()) - message.size(), '\0');
  return message;
}

// A rule as the kernel dumps "ip rule add fwmark MARK lookup TABLE priority
// PRIORITY": the table in the header only while it fits, always in FRA_TABLE,
// the originator and "no suppressor" on every rule.
std::string Rule(uint32_t sequence, uint32_t priority, uint32_t mark, uint32_t table,
                 const std::string& more = "", uint8_t src_len = 0) {
  fib_rule_hdr header{};
  header.family = AF_INET;
  header.table = static_cast<uint8_t>(table < 256 ? table : RT_TABLE_COMPAT);
  header.action = FR_ACT_TO_TBL;
  header.src_len = src_len;
  std::string payload(reinterpret_cast<const char*>(&header), sizeof(header));
  payload += U32(FRA_TABLE, table) + U32(FRA_SUPPRESS_PREFIXLEN, UINT32_MAX) +
             U8(FRA_PROTOCOL, 3) + U32(FRA_PRIORITY, priority);
  if (mark != 0) payload += U32(FRA_FWMARK, mark) + U32(FRA_FWMASK, UINT32_MAX);
  return Message(RTM_NEWRULE, sequence, payload + more, NLM_F_MULTI);
}

std::string Done(uint32_t sequence) { return Message(NLMSG_DONE, sequence, std::string(4, '\0'), NLM_F_MULTI); }

TEST(PolicyRuleDump, RulesAreReadWithTheirSelectors) {
  struct Case {
    const char* what;
    std::string message;
    uint32_t priority, fwmark, table;
    uint8_t ip_proto;
    bool other_selectors;
  };
  const char device[] = "eth0";
  const Case cases[] = {
      {"the ICMP bypass's rule", Rule(9, 100, 1, 100), 100, 1, 100, 0, false},
      {"the same for ICMP alone", Rule(9, 100, 1, 100, U8(FRA_IP_PROTO, IPPROTO_ICMP)), 100, 1, 100, 1, false},
      {"a table past 255", Rule(9, 1066, 0x66, 1067), 1066, 0x66, 1067, 0, false},
      {"the main table's rule", Rule(9, 32766, 0, 254), 32766, 0, 254, 0, false},
      {"from a prefix", Rule(9, 100, 1, 100, U32(FRA_SRC, 0x0a), 8), 100, 1, 100, 0, true},
      {"on an input device", Rule(9, 100, 1, 100, Attribute(FRA_IIFNAME, device, sizeof(device))), 100, 1, 100, 0, true},
      {"with a suppressor", Rule(9, 100, 1, 100, U32(FRA_SUPPRESS_PREFIXLEN, 0)), 100, 1, 100, 0, true},
  };
  for (const Case& c : cases) {
    std::vector<DumpedRule> rules;
    const std::string buffer = c.message + Done(9);
    ASSERT_EQ(RuleDumpProgress::kDone, ParsePolicyRuleDump(buffer.data(), buffer.size(), 9, &rules)) << c.what;
    ASSERT_EQ(1u, rules.size()) << c.what;
    EXPECT_EQ(c.priority, rules[0].priority) << c.what;
    EXPECT_EQ(c.fwmark, rules[0].fwmark) << c.what;
    EXPECT_EQ(c.fwmark == 0 ? 0u : UINT32_MAX, rules[0].fwmask) << c.what;
    EXPECT_EQ(c.table, rules[0].table) << c.what;
    EXPECT_EQ(c.ip_proto, rules[0].ip_proto) << c.what;
    EXPECT_EQ(FR_ACT_TO_TBL, rules[0].action) << c.what;
    EXPECT_EQ(c.other_selectors, rules[0].other_selectors) << c.what;
  }
}

TEST(PolicyRuleDump, ProgressSaysWhetherTheDumpEndedWhole) {
  nlmsgerr error{};
  error.error = -EPERM;
  const std::string refused = Message(NLMSG_ERROR, 9, std::string(reinterpret_cast<char*>(&error), sizeof(error)));
  std::string cut = Rule(9, 0, 0, 255);
  cut.resize(cut.size() - 8);
  struct Case {
    const char* what;
    std::string buffer;
    RuleDumpProgress progress;
    size_t rules;
  };
  const Case cases[] = {
      {"two rules and the end", Rule(9, 0, 0, 255) + Rule(9, 100, 1, 100) + Done(9), RuleDumpProgress::kDone, 2},
      {"a part without the end", Rule(9, 0, 0, 255), RuleDumpProgress::kMore, 1},
      {"another request's messages", Rule(8, 0, 0, 255) + Done(8), RuleDumpProgress::kMore, 0},
      {"an error", refused, RuleDumpProgress::kFailed, 0},
      {"interrupted by a change", Message(NLMSG_DONE, 9, std::string(4, '\0'), NLM_F_MULTI | NLM_F_DUMP_INTR),
       RuleDumpProgress::kFailed, 0},
      {"cut short", cut, RuleDumpProgress::kFailed, 0},
  };
  for (const Case& c : cases) {
    std::vector<DumpedRule> rules;
    EXPECT_EQ(c.progress, ParsePolicyRuleDump(c.buffer.data(), c.buffer.size(), 9, &rules)) << c.what;
    EXPECT_EQ(c.rules, rules.size()) << c.what;
  }
}

}  // namespace
