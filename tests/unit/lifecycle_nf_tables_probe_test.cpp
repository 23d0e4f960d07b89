#include "lifecycle/nf_tables_probe.h"

#include <gtest/gtest.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Netlink is in host byte order; the literal bytes below are little-endian.
bool LittleEndian() {
  const uint16_t one = 1;
  return *reinterpret_cast<const unsigned char*>(&one) == 1;
}

TEST(NfTablesProbe, RequestsAreOneGetMessageWithTheNamesAsAttributes) {
  if (!LittleEndian()) GTEST_SKIP() << "byte layout written for little-endian hosts";
  const std::string header_table = std::string("\x1c\0\0\0" "\x01\x0a" "\x01\0" "\x07\0\0\0" "\0\0\0\0", 16);
  const std::string gen_inet = std::string("\x01\0\0\0", 4);
  const std::string name_t = std::string("\x06\0\x01\0" "t\0\0\0", 8);
  EXPECT_EQ(header_table + gen_inet + name_t, NfTablesGetTableRequest(1, "t", 7));

  const std::string header_chain = std::string("\x38\0\0\0" "\x04\x0a" "\x01\0" "\x02\0\0\0" "\0\0\0\0", 16);
  const std::string gen_ip = std::string("\x02\0\0\0", 4);
  const std::string table = std::string("\x0b\0\x01\0" "filter\0" "\0", 12);
  const std::string chain = std::string("\x15\0\x03\0" "ZELMO_KILLSWITCH\0" "\0\0\0", 24);
  EXPECT_EQ(header_chain + gen_ip + table + chain,
            NfTablesGetChainRequest(2, "filter", "ZELMO_KILLSWITCH", 2));
}

// One reply message: a header, then PAYLOAD.
std::string Message(uint16_t type, uint32_t sequence, const std::string& payload) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + payload.size());
  header.nlmsg_type = type;
  header.nlmsg_seq = sequence;
  std::string message(reinterpret_cast<const char*>(&header), sizeof(header));
  message += payload;
  message.append(NLMSG_ALIGN(message.size()) - message.size(), '\0');
  return message;
}

std::string Error(uint32_t sequence, int error_number) {
  nlmsgerr error{};
  error.error = -error_number;
  return Message(NLMSG_ERROR, sequence, std::string(reinterpret_cast<const char*>(&error), sizeof(error)));
}

std::string Object(uint8_t type, uint32_t sequence) {
  return Message(static_cast<uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | type), sequence,
                 std::string(8, '\0'));
}

TEST(NfTablesProbe, RepliesSayPresentAbsentOrUnknown) {
  struct Case {
    const char* what;
    std::string buffer;
    NfTablesPresence presence;
    bool answered;
  };
  std::string truncated = Error(5, ENOENT);
  truncated.resize(truncated.size() - 4);
  const Case cases[] = {
      {"no such table", Error(5, ENOENT), NfTablesPresence::kAbsent, true},
      {"the table itself", Object(NFT_MSG_NEWTABLE, 5), NfTablesPresence::kPresent, true},
      {"the chain itself", Object(NFT_MSG_NEWCHAIN, 5), NfTablesPresence::kPresent, true},
      {"not permitted", Error(5, EPERM), NfTablesPresence::kUnknown, true},
      {"no nf_tables in this kernel", Error(5, EOPNOTSUPP), NfTablesPresence::kUnknown, true},
      {"an answer of another kind", Message(NLMSG_DONE, 5, ""), NfTablesPresence::kUnknown, true},
      {"only another request's answer", Error(4, ENOENT), NfTablesPresence::kUnknown, false},
      {"another request's answer first", Object(NFT_MSG_NEWTABLE, 4) + Error(5, ENOENT),
       NfTablesPresence::kAbsent, true},
      {"cut short", truncated, NfTablesPresence::kUnknown, true},
      {"nothing", "", NfTablesPresence::kUnknown, false},
  };
  for (const Case& c : cases) {
    bool answered = !c.answered;
    EXPECT_EQ(c.presence, ParseNfTablesGetReply(c.buffer.data(), c.buffer.size(), 5, &answered))
        << c.what;
    EXPECT_EQ(c.answered, answered) << c.what;
  }
}

}  // namespace
