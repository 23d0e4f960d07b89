#include "lookup_timing.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_clock.h"

namespace {

// Header (id, recursion desired, one question), the name as labels, A, IN.
std::string QueryFor(const std::string& name) {
  std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    query += static_cast<char>(dot - start);
    query += name.substr(start, dot - start);
    start = dot + 1;
  }
  query += std::string("\x00\x00\x01\x00\x01", 5);
  return query;
}

}  // namespace

double TimeOneLookup(const std::string& server, const std::string& name) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, server.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(53);
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, server.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(53);
    length = sizeof(*v6);
  } else {
    return -1;
  }
  const std::string query = QueryFor(name);
  const double started = NowMs();
  const int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  double elapsed = -1;
  char answer[512];
  pollfd wait{fd, POLLIN, 0};
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      send(fd, query.data(), query.size(), 0) == static_cast<ssize_t>(query.size()) &&
      poll(&wait, 1, 1000) == 1 && recv(fd, answer, sizeof(answer), 0) > 12) {
    elapsed = NowMs() - started;
  }
  close(fd);
  return elapsed;
}
