// Test-only TCP conversation, both sides:
//
//   conversation serve PORT
//   conversation ask ADDRESS PORT [--wait-cgroup PATH | --mark MARK]
//
// serve listens on PORT on every address of its namespace, in both
// families, and prints "ready". On each connection it reads one line and
// answers one line, the address the peer connected from (plain text; an
// IPv4 peer as a.b.c.d, also when it came through the dual-stack socket),
// then closes.
//
// ask connects to ADDRESS (numeric), sends one line, prints the line that
// comes back and exits 0, all within 3 s. Otherwise it prints a short reason
// ("refused", "timeout", "unreachable", "reset", "closed", ...) and exits 1.
// With --wait-cgroup it first waits, up to 10 s, until /proc/self/cgroup
// reads "0::PATH": a socket keeps the cgroup its process was in when it was
// created, so it must not be created before the process was moved. If that
// never happens it prints "not moved" and exits 1. With --mark its socket
// marks every packet it sends with MARK (SO_MARK), as a program that
// routes its own traffic by mark does.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kConversationLimit = std::chrono::seconds(3);
constexpr auto kCgroupWaitLimit = std::chrono::seconds(10);

int Usage() {
  std::cerr << "usage: conversation serve PORT\n"
               "       conversation ask ADDRESS PORT [--wait-cgroup PATH | --mark MARK]\n";
  return 2;
}

std::string PeerText(const sockaddr_in6& peer) {
  char text[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&peer.sin6_addr)) {
    inet_ntop(AF_INET, peer.sin6_addr.s6_addr + 12, text, sizeof(text));
  } else {
    inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof(text));
  }
  return text;
}

void Answer(int fd, std::string peer) {
  timeval limit{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char byte = 0;
  while (recv(fd, &byte, 1, 0) == 1 && byte != '\n') {
  }
  peer += "\n";
  send(fd, peer.data(), peer.size(), MSG_NOSIGNAL);
  close(fd);
}

int Serve(int port) {
  const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int off = 0;
  const int on = 1;
  setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  local.sin6_port = htons(static_cast<uint16_t>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      listen(listener, 64) != 0) {
    std::cerr << "conversation: cannot listen: " << std::strerror(errno) << "\n";
    return 1;
  }
  std::cout << "ready" << std::endl;
  while (true) {
    sockaddr_in6 peer{};
    socklen_t length = sizeof(peer);
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A client that never sends its line must not hold up the next one.
    std::thread(Answer, fd, PeerText(peer)).detach();
  }
}

std::string Reason(int error) {
  switch (error) {
    case ECONNREFUSED: return "refused";
    case ETIMEDOUT: return "timeout";
    case EHOSTUNREACH:
    case ENETUNREACH: return "unreachable";
    case ECONNRESET: return "reset";
    case EPERM:
    case EACCES: return "not permitted";
    default: return std::strerror(error);
  }
}

int Report(const std::string& line, int status) {
  std::cout << line << std::endl;
  return status;
}

bool InCgroup(const std::string& path) {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    if (line == "0::" + path) return true;
  }
  return false;
}

bool WaitForCgroup(const std::string& path) {
  const auto deadline = Clock::now() + kCgroupWaitLimit;
  while (!InCgroup(path)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Waits for EVENTS on FD until the deadline; false when it passed first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd watched{fd, events, 0};
    const int ready = poll(&watched, 1, static_cast<int>(left.count()) + 1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

int Ask(const std::string& address, int port, const std::string& cgroup, unsigned mark) {
  if (!cgroup.empty() && !WaitForCgroup(cgroup)) return Report("not moved", 1);
  sockaddr_storage target{};
  socklen_t target_length = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(target);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    target_length = sizeof(v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    target_length = sizeof(v6);
  } else {
    return Report("bad address", 2);
  }

  const auto deadline = Clock::now() + kConversationLimit;
  const int fd = socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Report(Reason(errno), 1);
  if (mark != 0 && setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
    return Report(Reason(errno), 1);
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&target), target_length) != 0 &&
      errno != EINPROGRESS) {
    return Report(Reason(errno), 1);
  }
  if (!WaitFor(fd, POLLOUT, deadline)) return Report("timeout", 1);
  int error = 0;
  socklen_t error_length = sizeof(error);
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_length);
  if (error != 0) return Report(Reason(error), 1);
  const std::string hello = "hello\n";
  if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
    return Report(Reason(errno), 1);
  }
  std::string answer;
  while (true) {
    if (!WaitFor(fd, POLLIN, deadline)) return Report("timeout", 1);
    char byte = 0;
    const ssize_t got = recv(fd, &byte, 1, 0);
    if (got == 0) return Report("closed", 1);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Report(Reason(errno), 1);
    }
    if (byte == '\n') break;
    answer += byte;
  }
  close(fd);
  return Report(answer, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 3) return Serve(std::atoi(argv[2]));
  if (mode == "ask" && argc == 4) return Ask(argv[2], std::atoi(argv[3]), "", 0);
  if (mode == "ask" && argc == 6 && std::string(argv[4]) == "--wait-cgroup") {
    return Ask(argv[2], std::atoi(argv[3]), argv[5], 0);
  }
  if (mode == "ask" && argc == 6 && std::string(argv[4]) == "--mark") {
    return Ask(argv[2], std::atoi(argv[3]), "",
               static_cast<unsigned>(std::strtoul(argv[5], nullptr, 0)));
  }
  return Usage();
}
