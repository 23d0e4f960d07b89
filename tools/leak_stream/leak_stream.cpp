// Test-only traffic source for leak measurements: a steady stream that a
// router can count, from whatever cgroup and namespace it was started in.
//
//   leak_stream [--udp ADDRESS]... [--udp-port N] [--rate N]
//               [--tcp ADDRESS]... [--tcp-port N] [--duration SECONDS]
//
// To each --udp address (numeric, either family) it sends N datagrams a
// second (--rate, 100), from one unconnected socket per address, so every
// datagram is routed afresh. To each --tcp address it opens a non-blocking
// TCP connection every 100 ms; an attempt not answered by the next one is
// closed unanswered, before the kernel would send its SYN again, so each
// attempt is one SYN on the wire. Errors are counted, never fatal.
//
// It prints "ready" once its sockets are open, runs until SIGTERM or SIGINT
// (or for --duration seconds), and prints one line of counts per family:
//
//   udp4_sent=N udp4_errors=N udp6_sent=N udp6_errors=N
//   tcp4_attempts=N tcp4_connected=N tcp4_failed=N tcp6_attempts=... (one line)
//
// A stream that falls behind (a stalled machine) skips the missed
// datagrams rather than sending them in a burst, so a count over a quiet
// stretch stays proportional to its length.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTcpInterval = std::chrono::milliseconds(100);

struct Target {
  sockaddr_storage address{};
  socklen_t length = 0;
  bool ipv6 = false;
  int fd = -1;  // the UDP socket, or the TCP attempt in progress
};

struct Counts {
  unsigned long udp_sent[2] = {};
  unsigned long udp_errors[2] = {};
  unsigned long tcp_attempts[2] = {};
  unsigned long tcp_connected[2] = {};
  unsigned long tcp_failed[2] = {};
};

int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) { (void)!write(g_stop_pipe[1], "x", 1); }

bool ParseTarget(const std::string& text, int port, Target* target) {
  auto& v4 = reinterpret_cast<sockaddr_in&>(target->address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(target->address);
  if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    target->length = sizeof(v4);
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    target->length = sizeof(v6);
    target->ipv6 = true;
    return true;
  }
  return false;
}

int Family(const Target& target) { return target.ipv6 ? AF_INET6 : AF_INET; }

void SendDatagrams(std::vector<Target>& targets, Counts* counts) {
  static const char kPayload[] = "leak stream\n";
  for (Target& target : targets) {
    const bool sent = sendto(target.fd, kPayload, sizeof(kPayload) - 1, MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&target.address), target.length) >= 0;
    ++(sent ? counts->udp_sent : counts->udp_errors)[target.ipv6];
  }
}

// An attempt still unanswered is given up silently: closing a socket in
// SYN-SENT sends nothing.
void StartConnections(std::vector<Target>& targets, Counts* counts) {
  for (Target& target : targets) {
    if (target.fd >= 0) close(target.fd);
    ++counts->tcp_attempts[target.ipv6];
    target.fd = socket(Family(target), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (target.fd < 0) {
      ++counts->tcp_failed[target.ipv6];
      continue;
    }
    const int result = connect(target.fd, reinterpret_cast<const sockaddr*>(&target.address),
                               target.length);
    if (result == 0 || errno != EINPROGRESS) {
      ++(result == 0 ? counts->tcp_connected : counts->tcp_failed)[target.ipv6];
      close(target.fd);
      target.fd = -1;
    }
  }
}

void FinishConnection(Target& target, Counts* counts) {
  int error = 0;
  socklen_t length = sizeof(error);
  getsockopt(target.fd, SOL_SOCKET, SO_ERROR, &error, &length);
  ++(error == 0 ? counts->tcp_connected : counts->tcp_failed)[target.ipv6];
  close(target.fd);
  target.fd = -1;
}

void PrintCounts(const Counts& counts) {
  std::string line;
  for (int ipv6 = 0; ipv6 < 2; ++ipv6) {
    const std::string udp = ipv6 ? "udp6_" : "udp4_";
    line += udp + "sent=" + std::to_string(counts.udp_sent[ipv6]) + " " + udp +
            "errors=" + std::to_string(counts.udp_errors[ipv6]) + " ";
  }
  for (int ipv6 = 0; ipv6 < 2; ++ipv6) {
    const std::string tcp = ipv6 ? "tcp6_" : "tcp4_";
    line += tcp + "attempts=" + std::to_string(counts.tcp_attempts[ipv6]) + " " + tcp +
            "connected=" + std::to_string(counts.tcp_connected[ipv6]) + " " + tcp +
            "failed=" + std::to_string(counts.tcp_failed[ipv6]) + (ipv6 ? "" : " ");
  }
  std::cout << line << std::endl;
}

int Usage() {
  std::cerr << "usage: leak_stream [--udp ADDRESS]... [--udp-port N] [--rate N]\n"
               "                   [--tcp ADDRESS]... [--tcp-port N] [--duration SECONDS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> udp_addresses, tcp_addresses;
  int udp_port = 0, tcp_port = 0;
  double rate = 100, duration = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--udp") udp_addresses.push_back(value);
    else if (option == "--tcp") tcp_addresses.push_back(value);
    else if (option == "--udp-port") udp_port = std::atoi(value.c_str());
    else if (option == "--tcp-port") tcp_port = std::atoi(value.c_str());
    else if (option == "--rate") rate = std::atof(value.c_str());
    else if (option == "--duration") duration = std::atof(value.c_str());
    else return Usage();
  }
  if (argc % 2 == 0 || rate <= 0 || (!udp_addresses.empty() && udp_port <= 0) ||
      (!tcp_addresses.empty() && tcp_port <= 0)) {
    return Usage();
  }
  std::vector<Target> udp(udp_addresses.size()), tcp(tcp_addresses.size());
  for (size_t i = 0; i < udp.size(); ++i) {
    if (!ParseTarget(udp_addresses[i], udp_port, &udp[i])) return Usage();
    udp[i].fd = socket(Family(udp[i]), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp[i].fd < 0) {
      std::cerr << "leak_stream: cannot open a udp socket\n";
      return 1;
    }
  }
  for (size_t i = 0; i < tcp.size(); ++i) {
    if (!ParseTarget(tcp_addresses[i], tcp_port, &tcp[i])) return Usage();
  }
  if (pipe2(g_stop_pipe, O_CLOEXEC) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::cout << "ready" << std::endl;

  Counts counts;
  const auto udp_interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / rate));
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(duration));
  auto next_udp = start, next_tcp = start;
  while (duration <= 0 || Clock::now() < end) {
    const auto now = Clock::now();
    if (!udp.empty() && now >= next_udp) {
      SendDatagrams(udp, &counts);
      next_udp += udp_interval;
      if (next_udp < now) next_udp = now + udp_interval;
    }
    if (!tcp.empty() && now >= next_tcp) {
      StartConnections(tcp, &counts);
      next_tcp += kTcpInterval;
      if (next_tcp < now) next_tcp = now + kTcpInterval;
    }
    auto wake = udp.empty() ? next_tcp : tcp.empty() ? next_udp : std::min(next_udp, next_tcp);
    if (udp.empty() && tcp.empty()) wake = now + std::chrono::seconds(1);
    if (duration > 0) wake = std::min(wake, end);
    std::vector<pollfd> watched = {{g_stop_pipe[0], POLLIN, 0}};
    for (const Target& target : tcp) watched.push_back({target.fd, POLLOUT, 0});
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
    const int ready = poll(watched.data(), watched.size(), std::max<int>(0, wait.count() + 1));
    if (ready < 0 && errno != EINTR) break;
    if (watched[0].revents != 0) break;
    for (size_t i = 0; i < tcp.size(); ++i) {
      if (tcp[i].fd >= 0 && watched[i + 1].revents != 0) FinishConnection(tcp[i], &counts);
    }
  }
  PrintCounts(counts);
  return 0;
}
