#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The kernel's process connector: a netlink socket on which the kernel
// reports, among others, every exec and every change of a command name.
// Only the machine's initial network namespace has it, and the kernel
// accepts a subscription only from the initial PID and user namespaces.

struct ProcessEvent {
  enum class Kind { kOther, kExec, kCommandName, kAcknowledgement };
  Kind kind = Kind::kOther;
  // Exec and command-name events: the process (thread group) they name, in
  // the initial PID namespace, and the thread within it.
  int process_id = 0;
  int thread_id = 0;
  // Acknowledgements: the request's ack value plus one, and the outcome
  // (0 accepted, else an errno value).
  uint32_t acknowledged = 0;
  uint32_t error = 0;
};

// The events in one datagram read from the connector socket. Messages that
// are truncated, or that are not process events, give nothing.
std::vector<ProcessEvent> ParseProcessEvents(const unsigned char* data, size_t length);

// The subscription request with this ack value: the plain form asks for
// every event and is answered with an acknowledgement; the filtered form
// narrows the events to execs and command-name changes (kernels before 6.6
// ignore it, and then every event keeps coming).
std::vector<unsigned char> BuildProcessEventRequest(uint32_t ack, bool filtered);
// The request that withdraws a subscription, in the plain form every
// kernel reads.
std::vector<unsigned char> BuildProcessEventWithdrawal(uint32_t ack);

// Subscribes a new connector socket to process events. Returns false, with
// the reason, when events cannot be had here (no connector in this network
// namespace, no privilege, a namespace the kernel does not serve, or a
// /proc that is not the initial PID namespace's).
bool OpenProcessEvents(int receive_buffer_bytes, int* socket_fd, std::string* error);

// Withdraws the subscription, then closes the socket. Kernels before 6.6
// count subscriptions machine-wide and go on producing process events, for
// every exec and exit on the machine, after a subscribed socket is closed
// without withdrawing.
void CloseProcessEvents(int socket_fd);

enum class ProcessEventRead { kDrained, kOverrun, kFailed };

// Reads what is queued without waiting (at most a bounded batch) and
// appends the processes named by exec events and by command-name events of
// a main thread (the one whose name /proc/PID/comm shows). kOverrun:
// the kernel dropped events because the socket's buffer was full.
ProcessEventRead ReadProcessEvents(int socket_fd, std::vector<int>* process_ids);
