#include "approuting/process_events.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// The filtered request of kernels from 6.6 on (their struct proc_input);
// older headers lack it.
struct FilteredRequest {
  uint32_t mcast_op;
  uint32_t event_types;
};

// The kernel queues its acknowledgement while it handles the request, so it
// is normally there at once; the wait only covers a slow delivery.
constexpr int kAcknowledgementWaitMs = 20;
// One read call takes at most this many datagrams, so a storm of events
// cannot keep the monitor from its stop notification.
constexpr int kMaxDatagramsPerRead = 256;
constexpr size_t kDatagramBytes = 8192;

ProcessEvent DecodeProcessEvent(const cn_msg& header, const unsigned char* event, size_t length) {
  ProcessEvent decoded;
  constexpr size_t kDataAt = offsetof(proc_event, event_data);
  if (length < kDataAt + sizeof(uint32_t)) return decoded;
  uint32_t what = 0;
  std::memcpy(&what, event + offsetof(proc_event, what), sizeof(what));
  if (what == proc_event::PROC_EVENT_NONE) {
    decoded.kind = ProcessEvent::Kind::kAcknowledgement;
    decoded.acknowledged = header.ack;
    std::memcpy(&decoded.error, event + kDataAt, sizeof(decoded.error));
    return decoded;
  }
  if (what != proc_event::PROC_EVENT_EXEC && what != proc_event::PROC_EVENT_COMM) return decoded;
  // Both events begin with the thread's ID and then its thread group's,
  // which is the process ID /proc lists.
  using ExecEvent = decltype(proc_event::event_data.exec);
  using CommandNameEvent = decltype(proc_event::event_data.comm);
  static_assert(offsetof(ExecEvent, process_tgid) == offsetof(CommandNameEvent, process_tgid),
                "exec and comm events name the process at the same place");
  static_assert(offsetof(ExecEvent, process_pid) == offsetof(CommandNameEvent, process_pid),
                "exec and comm events name the thread at the same place");
  constexpr size_t kPidAt = kDataAt + offsetof(ExecEvent, process_pid);
  constexpr size_t kTgidAt = kDataAt + offsetof(ExecEvent, process_tgid);
  if (length < kTgidAt + sizeof(int32_t)) return decoded;
  int32_t thread_id = 0;
  int32_t process_id = 0;
  std::memcpy(&thread_id, event + kPidAt, sizeof(thread_id));
  std::memcpy(&process_id, event + kTgidAt, sizeof(process_id));
  decoded.kind = what == proc_event::PROC_EVENT_EXEC ? ProcessEvent::Kind::kExec
                                                     : ProcessEvent::Kind::kCommandName;
  decoded.process_id = process_id;
  decoded.thread_id = thread_id;
  return decoded;
}

bool SendRequest(int socket_fd, const std::vector<unsigned char>& request) {
  return send(socket_fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size());
}

// Reads until the acknowledgement of `ack` arrives or nothing more comes.
// Events read meanwhile are dropped: the monitor's first pass follows.
bool AwaitAcknowledgement(int socket_fd, uint32_t ack, uint32_t* error) {
  alignas(nlmsghdr) unsigned char buffer[kDatagramBytes];
  bool waited = false;
  for (int datagram = 0; datagram < kMaxDatagramsPerRead; ++datagram) {
    const ssize_t got = recv(socket_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !waited) {
      pollfd readable{socket_fd, POLLIN, 0};
      waited = true;
      if (poll(&readable, 1, kAcknowledgementWaitMs) > 0) continue;
      return false;
    }
    // An overrun before the answer only means events were dropped.
    if (got < 0 && errno == ENOBUFS) continue;
    if (got <= 0) return false;
    for (const ProcessEvent& event : ParseProcessEvents(buffer, static_cast<size_t>(got))) {
      if (event.kind == ProcessEvent::Kind::kAcknowledgement && event.acknowledged == ack + 1) {
        *error = event.error;
        return true;
      }
    }
  }
  return false;
}

// Process IDs in events belong to the initial PID namespace; /proc must be
// that namespace's, or an event's ID would name another process there.
bool ProcShowsOwnProcessId() {
  char target[32] = {};
  const ssize_t length = readlink("/proc/self", target, sizeof(target) - 1);
  return length > 0 && std::string(target, static_cast<size_t>(length)) == std::to_string(getpid());
}

uint32_t FreshAckValue() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_nsec) ^ (static_cast<uint32_t>(getpid()) << 8);
}

}  // namespace

std::vector<ProcessEvent> ParseProcessEvents(const unsigned char* data, size_t length) {
  std::vector<ProcessEvent> events;
  size_t offset = 0;
  while (length - offset >= sizeof(nlmsghdr)) {
    nlmsghdr message{};
    std::memcpy(&message, data + offset, sizeof(message));
    if (message.nlmsg_len < NLMSG_HDRLEN || message.nlmsg_len > length - offset) break;
    // The connector sends each message as NLMSG_DONE.
    const size_t payload_length = message.nlmsg_len - NLMSG_HDRLEN;
    if (message.nlmsg_type == NLMSG_DONE && payload_length >= sizeof(cn_msg)) {
      cn_msg header{};
      std::memcpy(&header, data + offset + NLMSG_HDRLEN, sizeof(header));
      const bool from_process_connector =
          header.id.idx == CN_IDX_PROC && header.id.val == CN_VAL_PROC;
      if (from_process_connector && header.len <= payload_length - sizeof(cn_msg)) {
        events.push_back(
            DecodeProcessEvent(header, data + offset + NLMSG_HDRLEN + sizeof(cn_msg), header.len));
      }
    }
    const size_t advance = NLMSG_ALIGN(message.nlmsg_len);
    if (advance >= length - offset) break;
    offset += advance;
  }
  return events;
}

namespace {

std::vector<unsigned char> BuildConnectorRequest(uint32_t ack, uint32_t operation, bool filtered) {
  const FilteredRequest body{operation, proc_event::PROC_EVENT_EXEC | proc_event::PROC_EVENT_COMM};
  // The plain form is the operation alone; the filtered form adds the mask.
  const size_t body_length = filtered ? sizeof(body) : sizeof(body.mcast_op);
  std::vector<unsigned char> request(NLMSG_SPACE(sizeof(cn_msg) + body_length), 0);
  nlmsghdr message{};
  message.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(cn_msg) + body_length));
  message.nlmsg_type = NLMSG_DONE;
  cn_msg header{};
  header.id.idx = CN_IDX_PROC;
  header.id.val = CN_VAL_PROC;
  header.ack = ack;
  header.len = static_cast<uint16_t>(body_length);
  std::memcpy(request.data(), &message, sizeof(message));
  std::memcpy(request.data() + NLMSG_HDRLEN, &header, sizeof(header));
  std::memcpy(request.data() + NLMSG_HDRLEN + sizeof(cn_msg), &body, body_length);
  return request;
}

}  // namespace

std::vector<unsigned char> BuildProcessEventRequest(uint32_t ack, bool filtered) {
  return BuildConnectorRequest(ack, PROC_CN_MCAST_LISTEN, filtered);
}

std::vector<unsigned char> BuildProcessEventWithdrawal(uint32_t ack) {
  return BuildConnectorRequest(ack, PROC_CN_MCAST_IGNORE, false);
}

void CloseProcessEvents(int socket_fd) {
  // Once per accepted subscription: an older kernel lowers its count on
  // every withdrawal, even one from a socket that never subscribed.
  SendRequest(socket_fd, BuildProcessEventWithdrawal(FreshAckValue()));
  close(socket_fd);
}

bool OpenProcessEvents(int receive_buffer_bytes, int* socket_fd, std::string* error) {
  if (!ProcShowsOwnProcessId()) {
    *error = "/proc is not this process's PID namespace";
    return false;
  }
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR);
  if (fd < 0) {
    *error = std::string("no process connector: ") + std::strerror(errno);
    return false;
  }
  const auto refuse = [&](const std::string& why) {
    *error = why;
    close(fd);
    return false;
  };
  // A larger buffer rides out bursts of execs; the forced size needs
  // CAP_NET_ADMIN, the plain one is capped by the host's limit.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer_bytes,
                 sizeof(receive_buffer_bytes)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof(receive_buffer_bytes));
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = CN_IDX_PROC;
  // Connected to the kernel, the socket takes no datagram from another
  // process, so nobody can feed it made-up events.
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const uint32_t ack = FreshAckValue();
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) != 0 ||
      !SendRequest(fd, BuildProcessEventRequest(ack, false))) {
    return refuse(std::string("process events refused: ") + std::strerror(errno));
  }
  uint32_t refusal = 0;
  if (!AwaitAcknowledgement(fd, ack, &refusal)) {
    return refuse("process events not served in this namespace");
  }
  if (refusal != 0) {
    return refuse(std::string("process events refused: ") +
                  std::strerror(static_cast<int>(refusal)));
  }
  // Best effort: where the kernel knows the filter, only execs and name
  // changes wake the monitor; elsewhere the other events are skipped.
  SendRequest(fd, BuildProcessEventRequest(ack + 2, true));
  *socket_fd = fd;
  return true;
}

ProcessEventRead ReadProcessEvents(int socket_fd, std::vector<int>* process_ids) {
  alignas(nlmsghdr) unsigned char buffer[kDatagramBytes];
  for (int datagram = 0; datagram < kMaxDatagramsPerRead; ++datagram) {
    const ssize_t got = recv(socket_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ProcessEventRead::kDrained;
      if (errno == ENOBUFS) return ProcessEventRead::kOverrun;
      return ProcessEventRead::kFailed;
    }
    for (const ProcessEvent& event : ParseProcessEvents(buffer, static_cast<size_t>(got))) {
      // Another thread's new name leaves the process's own name as it was
      // (programs name their threads often); such an event changes nothing.
      const bool names_process =
          event.kind == ProcessEvent::Kind::kExec ||
          (event.kind == ProcessEvent::Kind::kCommandName && event.thread_id == event.process_id);
      if (names_process && event.process_id > 0) process_ids->push_back(event.process_id);
    }
  }
  return ProcessEventRead::kDrained;
}
