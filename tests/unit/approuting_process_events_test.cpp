#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>

#include <cstring>
#include <vector>

#include "approuting/process_events.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Kind = ProcessEvent::Kind;

// One connector message as the kernel sends it: netlink header, connector
// header, process event.
Bytes KernelMessage(uint32_t what, int32_t tgid, uint32_t ack = 0, uint32_t error = 0,
                    uint32_t connector_index = CN_IDX_PROC) {
  proc_event event{};
  event.what = static_cast<decltype(event.what)>(what);
  if (what == proc_event::PROC_EVENT_NONE) {
    event.event_data.ack.err = error;
  } else {
    event.event_data.exec.process_pid = tgid + 1;
    event.event_data.exec.process_tgid = tgid;
  }
  cn_msg header{};
  header.id.idx = connector_index;
  header.id.val = CN_VAL_PROC;
  header.ack = ack;
  header.len = sizeof(event);
  nlmsghdr message{};
  message.nlmsg_len = NLMSG_LENGTH(sizeof(header) + sizeof(event));
  message.nlmsg_type = NLMSG_DONE;
  Bytes bytes(NLMSG_SPACE(sizeof(header) + sizeof(event)), 0);
  std::memcpy(bytes.data(), &message, sizeof(message));
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &header, sizeof(header));
  std::memcpy(bytes.data() + NLMSG_HDRLEN + sizeof(header), &event, sizeof(event));
  return bytes;
}

std::vector<ProcessEvent> Parse(const Bytes& bytes) {
  return ParseProcessEvents(bytes.data(), bytes.size());
}

TEST(ProcessEvents, KernelMessagesAreDecoded) {
  struct Case {
    const char* what_it_is;
    Bytes datagram;
    Kind kind;
    int process_id;
    uint32_t acknowledged;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {"exec", KernelMessage(proc_event::PROC_EVENT_EXEC, 4242), Kind::kExec, 4242, 0, 0},
      {"command name", KernelMessage(proc_event::PROC_EVENT_COMM, 77), Kind::kCommandName, 77, 0, 0},
      {"fork", KernelMessage(proc_event::PROC_EVENT_FORK, 5), Kind::kOther, 0, 0, 0},
      {"exit", KernelMessage(proc_event::PROC_EVENT_EXIT, 5), Kind::kOther, 0, 0, 0},
      {"acknowledgement", KernelMessage(proc_event::PROC_EVENT_NONE, 0, 11), Kind::kAcknowledgement,
       0, 11, 0},
      {"refusal", KernelMessage(proc_event::PROC_EVENT_NONE, 0, 11, 1), Kind::kAcknowledgement, 0,
       11, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what_it_is);
    const std::vector<ProcessEvent> events = Parse(c.datagram);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(c.kind, events[0].kind);
    EXPECT_EQ(c.process_id, events[0].process_id);
    EXPECT_EQ(c.process_id == 0 ? 0 : c.process_id + 1, events[0].thread_id);
    EXPECT_EQ(c.acknowledged, events[0].acknowledged);
    EXPECT_EQ(c.error, events[0].error);
  }
}

TEST(ProcessEvents, DamagedOrForeignMessagesGiveNothing) {
  const Bytes exec = KernelMessage(proc_event::PROC_EVENT_EXEC, 4242);
  Bytes long_claim = exec;
  long_claim[0] = static_cast<unsigned char>(exec.size() + 4);  // nlmsg_len past the datagram
  Bytes connector_overlong = exec;
  // cn_msg.len claims more than the message holds.
  connector_overlong[NLMSG_HDRLEN + offsetof(cn_msg, len)] = 0xff;
  Bytes not_done = exec;
  not_done[offsetof(nlmsghdr, nlmsg_type)] = NLMSG_NOOP;
  // The event cut after its type, before the process IDs.
  Bytes cut = exec;
  const size_t kept = NLMSG_HDRLEN + sizeof(cn_msg) + offsetof(proc_event, event_data) + 4;
  cut.resize(kept);
  cut[0] = static_cast<unsigned char>(kept);
  cut[NLMSG_HDRLEN + offsetof(cn_msg, len)] =
      static_cast<unsigned char>(kept - NLMSG_HDRLEN - sizeof(cn_msg));
  cut[NLMSG_HDRLEN + offsetof(cn_msg, len) + 1] = 0;
  for (const Bytes& datagram : {long_claim, connector_overlong, not_done,
                                KernelMessage(proc_event::PROC_EVENT_EXEC, 1, 0, 0, CN_IDX_PROC + 1),
                                Bytes(exec.begin(), exec.begin() + 10), Bytes{}}) {
    for (const ProcessEvent& event : Parse(datagram)) {
      EXPECT_NE(Kind::kExec, event.kind);
      EXPECT_EQ(0, event.process_id);
    }
  }
  const std::vector<ProcessEvent> from_cut = Parse(cut);
  ASSERT_EQ(1u, from_cut.size());
  EXPECT_EQ(Kind::kOther, from_cut[0].kind);
}

TEST(ProcessEvents, SeveralMessagesInOneDatagram) {
  Bytes datagram = KernelMessage(proc_event::PROC_EVENT_EXEC, 10);
  const Bytes second = KernelMessage(proc_event::PROC_EVENT_COMM, 20);
  datagram.insert(datagram.end(), second.begin(), second.end());
  const std::vector<ProcessEvent> events = Parse(datagram);
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(10, events[0].process_id);
  EXPECT_EQ(20, events[1].process_id);
}

TEST(ProcessEvents, SubscriptionRequests) {
  const uint32_t kExecAndName = proc_event::PROC_EVENT_EXEC | proc_event::PROC_EVENT_COMM;
  struct Case {
    const char* what;
    Bytes request;
    uint32_t operation;
    uint16_t body_length;
    uint32_t event_mask;
  };
  // The withdrawal takes the plain form: kernels before 6.6 read only that
  // and ignore a longer request, which would leave them subscribed.
  const Case cases[] = {
      {"plain", BuildProcessEventRequest(99, false), PROC_CN_MCAST_LISTEN, 4, 0},
      {"filtered", BuildProcessEventRequest(99, true), PROC_CN_MCAST_LISTEN, 8, kExecAndName},
      {"withdrawal", BuildProcessEventWithdrawal(99), PROC_CN_MCAST_IGNORE, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nlmsghdr message{};
    cn_msg header{};
    std::memcpy(&message, c.request.data(), sizeof(message));
    std::memcpy(&header, c.request.data() + NLMSG_HDRLEN, sizeof(header));
    EXPECT_EQ(NLMSG_LENGTH(sizeof(cn_msg) + c.body_length), message.nlmsg_len);
    EXPECT_EQ(NLMSG_DONE, message.nlmsg_type);
    EXPECT_EQ(static_cast<uint32_t>(CN_IDX_PROC), header.id.idx);
    EXPECT_EQ(static_cast<uint32_t>(CN_VAL_PROC), header.id.val);
    EXPECT_EQ(99u, header.ack);
    EXPECT_EQ(c.body_length, header.len);
    uint32_t body[2] = {};
    std::memcpy(body, c.request.data() + NLMSG_HDRLEN + sizeof(cn_msg), c.body_length);
    EXPECT_EQ(c.operation, body[0]);
    EXPECT_EQ(c.event_mask, body[1]);
  }
}

}  // namespace
