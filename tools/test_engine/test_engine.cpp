// Stand-in proxy engine for tests and the demo. It is loaded by the helper
// exactly like the real engine library and exports the same two entry points:
//
//   char* CGoRunXray(char* base64_request);
//   void  CGoStopXray(void);
//
// CGoRunXray Base64-decodes the request, reads the file named by its
// "configPath" member, takes the TUN name from the first inbound whose
// protocol is "tun" (with a JSON walk of its own, engine_settings.h, not the
// helper's search), creates that device
// through /dev/net/tun (IFF_TUN | IFF_NO_PI), gives it 172.19.0.1/30 and
// fd00:66::1/64, brings it up and answers Base64 of
// {"success":true,"tun":"<name>"}. The device stays until CGoStopXray, which
// closes it (the kernel then removes it). libtest_engine_nostop.so is built
// from this file without CGoStopXray.
//
// Environment, read on every CGoRunXray call:
//   LVH_ENGINE_RESPONSE=null       answer NULL, create nothing
//   LVH_ENGINE_RESPONSE=failure    answer Base64 of
//                                  {"success":false,"error":"engine refused the configuration"}
//   LVH_ENGINE_RESPONSE=text:TEXT  answer Base64 of TEXT exactly, create nothing
//   LVH_ENGINE_TUN_ADDR=A/N        IPv4 address of the device ("none": no IPv4 address)
//   LVH_ENGINE_TUN_ADDR6=A/N       IPv6 address of the device ("none": no IPv6 address)
//   LVH_ENGINE_PACKET_LOG=FILE     a thread reads every packet that enters the device
//                                  and appends one line per IP packet:
//                                  "<ipv4|ipv6> <udp|tcp|icmp|icmpv6|other> <src> <dst> <dstport or 0>"
//   LVH_ENGINE_EVENT_LOG=FILE      appends "loaded", "run", "request <decoded request>",
//                                  "stop", "unloaded" as they happen (O_APPEND, so it
//                                  may be the helper's own output file opened with >>,
//                                  which shows the order)
//   LVH_ENGINE_RUN_GATE=FILE       CGoRunXray waits (after logging "run") until FILE
//                                  exists, so a test can act while the helper is inside it
//   LVH_ENGINE_STOP_GATE=FILE      CGoStopXray likewise (after logging "stop")
// A device that cannot be created gives a failure answer whose "error" says why.

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/ipv6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine_settings.h"
#include "packet_line.h"

namespace {

int g_tun_fd = -1;
int g_wake_pipe[2] = {-1, -1};
std::thread g_packet_thread;
std::string g_response;  // the answer stays valid until the next call

void LogEvent(const std::string& event) {
  const char* path = std::getenv("LVH_ENGINE_EVENT_LOG");
  if (path == nullptr || *path == '\0') return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = event + "\n";
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

void WaitForGate(const char* variable) {
  const char* path = std::getenv(variable);
  if (path == nullptr || *path == '\0') return;
  while (access(path, F_OK) != 0) usleep(20 * 1000);
}

std::string DecodeBase64(const char* text) {
  gsize length = 0;
  guchar* bytes = g_base64_decode(text, &length);
  if (bytes == nullptr) return {};
  std::string decoded(reinterpret_cast<const char*>(bytes), length);
  g_free(bytes);
  return decoded;
}

char* AnswerWith(const std::string& text) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
  g_response = encoded;
  g_free(encoded);
  return g_response.data();
}

std::string EscapeForJson(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '"' || c == '\\') escaped += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) escaped += c;
  }
  return escaped;
}

char* AnswerFailure(const std::string& error) {
  return AnswerWith("{\"success\":false,\"error\":\"" + EscapeForJson(error) + "\"}");
}

// The value of a string member of the flat request object, with the JSON
// escapes the helper writes undone.
std::string FindStringMember(const std::string& json, const std::string& member) {
  const std::string key = "\"" + member + "\":\"";
  size_t i = json.find(key);
  if (i == std::string::npos) return {};
  std::string value;
  for (i += key.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      value += json[i];
      continue;
    }
    const char escape = json[++i];
    switch (escape) {
      case 'n': value += '\n'; break;
      case 't': value += '\t'; break;
      case 'r': value += '\r'; break;
      case 'b': value += '\b'; break;
      case 'f': value += '\f'; break;
      case 'u':
        if (i + 4 < json.size()) {
          value += static_cast<char>(std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16));
          i += 4;
        }
        break;
      default: value += escape;
    }
  }
  return value;
}

std::string ReadWholeFile(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  std::string text(contents, length);
  g_free(contents);
  return text;
}

// The address (into *address) and length of an "A/N" text of the family.
bool ParsePrefix(int family, const std::string& text, void* address, int* length) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  *length = std::atoi(text.c_str() + slash + 1);
  const int longest = family == AF_INET ? 32 : 128;
  return *length >= 0 && *length <= longest &&
         inet_pton(family, text.substr(0, slash).c_str(), address) == 1;
}

ifreq RequestFor(const std::string& tun_name) {
  ifreq request{};
  std::strncpy(request.ifr_name, tun_name.c_str(), IFNAMSIZ - 1);
  return request;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool AddIpv4Address(const std::string& tun_name, const std::string& prefix, std::string* error) {
  int length = 0;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  if (!ParsePrefix(AF_INET, prefix, &sin.sin_addr, &length)) {
    *error = "bad IPv4 prefix " + prefix;
    return false;
  }
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request = RequestFor(tun_name);
  std::memcpy(&request.ifr_addr, &sin, sizeof(sin));
  bool ok = ioctl(sock, SIOCSIFADDR, &request) == 0;
  sin.sin_addr.s_addr = length == 0 ? 0 : htonl(~uint32_t{0} << (32 - length));
  std::memcpy(&request.ifr_netmask, &sin, sizeof(sin));
  ok = ok && ioctl(sock, SIOCSIFNETMASK, &request) == 0;
  if (!ok) *error = std::string("cannot set IPv4 address: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

bool AddIpv6Address(const std::string& tun_name, const std::string& prefix, std::string* error) {
  int length = 0;
  in6_ifreq request{};
  if (!ParsePrefix(AF_INET6, prefix, &request.ifr6_addr, &length)) {
    *error = "bad IPv6 prefix " + prefix;
    return false;
  }
  const int sock = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq index_request = RequestFor(tun_name);
  bool ok = ioctl(sock, SIOCGIFINDEX, &index_request) == 0;
  request.ifr6_ifindex = index_request.ifr_ifindex;
  request.ifr6_prefixlen = static_cast<uint32_t>(length);
  ok = ok && ioctl(sock, SIOCSIFADDR, &request) == 0;
  if (!ok) *error = std::string("cannot set IPv6 address: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

bool BringUp(const std::string& tun_name, std::string* error) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request = RequestFor(tun_name);
  bool ok = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
  if (!ok) *error = std::string("cannot bring the device up: ") + std::strerror(errno);
  if (sock >= 0) close(sock);
  return ok;
}

// Opens the device; it lives as long as the returned descriptor.
int CreateTun(const std::string& tun_name, std::string* error) {
  if (tun_name.empty() || tun_name.size() >= IFNAMSIZ) {
    *error = "unusable tun name";
    return -1;
  }
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
    return -1;
  }
  ifreq request = RequestFor(tun_name);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    *error = "cannot create tun device: " + std::string(std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void LogPackets(int tun_fd, int wake_fd, std::string log_path) {
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  unsigned char packet[65536];
  pollfd watched[2] = {{tun_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  while (true) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[1].revents != 0) break;
    if ((watched[0].revents & POLLIN) == 0) break;
    const ssize_t length = read(tun_fd, packet, sizeof(packet));
    if (length <= 0) continue;
    const std::string line = DescribePacket(packet, static_cast<size_t>(length));
    if (!line.empty() && log_fd >= 0) {
      const std::string text = line + "\n";
      (void)!write(log_fd, text.data(), text.size());
    }
  }
  if (log_fd >= 0) close(log_fd);
}

void StopRunningEngine() {
  if (g_packet_thread.joinable()) {
    (void)!write(g_wake_pipe[1], "x", 1);
    g_packet_thread.join();
  }
  for (int& fd : g_wake_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (g_tun_fd >= 0) close(g_tun_fd);
  g_tun_fd = -1;
}

char* StartTunnel(const std::string& request) {
  const std::string config_path = FindStringMember(request, "configPath");
  const std::string tun_name = ReadEngineSettings(ReadWholeFile(config_path)).tun_name;
  if (tun_name.empty()) return AnswerFailure("no tun inbound in " + config_path);

  std::string error;
  const int fd = CreateTun(tun_name, &error);
  if (fd < 0) return AnswerFailure(error);
  const std::string address4 = EnvOr("LVH_ENGINE_TUN_ADDR", "172.19.0.1/30");
  const std::string address6 = EnvOr("LVH_ENGINE_TUN_ADDR6", "fd00:66::1/64");
  // The IPv6 address goes on after the link is up, when the device has its
  // IPv6 state.
  const bool ready = (address4 == "none" || AddIpv4Address(tun_name, address4, &error)) &&
                     BringUp(tun_name, &error) &&
                     (address6 == "none" || AddIpv6Address(tun_name, address6, &error));
  if (!ready) {
    close(fd);
    return AnswerFailure(error);
  }
  g_tun_fd = fd;

  const char* packet_log = std::getenv("LVH_ENGINE_PACKET_LOG");
  if (packet_log != nullptr && *packet_log != '\0' && pipe2(g_wake_pipe, O_CLOEXEC) == 0) {
    g_packet_thread = std::thread(LogPackets, g_tun_fd, g_wake_pipe[0], std::string(packet_log));
  }
  return AnswerWith("{\"success\":true,\"tun\":\"" + EscapeForJson(tun_name) + "\"}");
}

__attribute__((constructor)) void OnLoad() { LogEvent("loaded"); }

// A thread must never outlive the code it runs.
__attribute__((destructor)) void OnUnload() {
  StopRunningEngine();
  LogEvent("unloaded");
}

}  // namespace

extern "C" char* CGoRunXray(char* base64_request) {
  LogEvent("run");
  const std::string request = DecodeBase64(base64_request != nullptr ? base64_request : "");
  LogEvent("request " + request);
  WaitForGate("LVH_ENGINE_RUN_GATE");
  const std::string mode = EnvOr("LVH_ENGINE_RESPONSE", "");
  if (mode == "null") return nullptr;
  if (mode == "failure") return AnswerFailure("engine refused the configuration");
  if (mode.rfind("text:", 0) == 0) return AnswerWith(mode.substr(5));
  if (g_tun_fd >= 0) return AnswerFailure("already running");
  return StartTunnel(request);
}

#ifndef TEST_ENGINE_WITHOUT_STOP
extern "C" void CGoStopXray() {
  LogEvent("stop");
  WaitForGate("LVH_ENGINE_STOP_GATE");
  StopRunningEngine();
}
#endif
