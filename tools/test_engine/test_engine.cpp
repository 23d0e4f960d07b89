// Stand-in proxy engine for tests and the demo. It is loaded by the helper
// exactly like the real engine library and exports the same two entry points:
//
//   char* CGoRunXray(char* base64_request);
//   void  CGoStopXray(void);
//
// CGoRunXray Base64-decodes the request, reads the file named by its
// "configPath" member with a JSON walk of its own (engine_settings.h): the
// TUN name from the first inbound whose protocol is "tun", the server from
// the first outbound's vnext. It creates that device through /dev/net/tun
// (IFF_TUN | IFF_NO_PI), gives it 172.19.0.1/30 and fd00:66::1/64, brings it
// up and answers Base64 of {"success":true,"tun":"<name>"}. A thread then
// carries the traffic: every packet the kernel writes into the device goes,
// as the payload of one UDP datagram, to the server's address (IPv4
// preferred) and port, and the payload of every datagram that comes back
// from there is written into the device (tools/tunnel_server is the other
// end). The device stays until CGoStopXray, which stops the thread and
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
//   LVH_ENGINE_PACKET_LOG=FILE     appends one line per IP packet that enters the device:
//                                  "<ipv4|ipv6> <udp|tcp|icmp|icmpv6|other> <src> <dst> <dstport or 0>"
//   LVH_ENGINE_EVENT_LOG=FILE      appends "loaded", "run", "request <decoded request>",
//                                  "stop", "unloaded" as they happen (O_APPEND, so it
//                                  may be the helper's own output file opened with >>,
//                                  which shows the order)
//   LVH_ENGINE_RUN_GATE=FILE       CGoRunXray waits (after logging "run") until FILE
//                                  exists, so a test can act while the helper is inside it
//   LVH_ENGINE_STOP_GATE=FILE      CGoStopXray likewise (after logging "stop")
//   LVH_ENGINE_FORK_WORKER=1       CGoRunXray forks a worker without exec before it makes
//                                  the device, as engines with worker processes do; the
//                                  worker prints nothing and sleeps until killed
//   LVH_ENGINE_WORKER_PID_FILE=FILE  the worker's pid goes there (one line)
//   LVH_ENGINE_RESTART_FILE=FILE   whenever FILE appears, the device is closed and made
//                                  again at once (same name and addresses, carrying
//                                  traffic again), then FILE is removed: an engine
//                                  restart within one burst of notifications (a
//                                  device that cannot be made again is logged
//                                  as "restart failed: <why>")
//   LVH_ENGINE_REFUSE_FILE=FILE    while FILE exists, CGoRunXray answers like
//                                  LVH_ENGINE_RESPONSE=failure and makes nothing: a test
//                                  cannot change a running helper's environment, but it
//                                  can make the next run of the same helper fail
// A device that cannot be created gives a failure answer whose "error" says why.

#include <fcntl.h>
#include <glib.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine_settings.h"
#include "packet_relay.h"
#include "tun_device.h"

namespace {

int g_tun_fd = -1;
int g_udp_fd = -1;
int g_packet_log_fd = -1;
int g_wake_pipe[2] = {-1, -1};
std::thread g_relay_thread;
// What the relay was started with, so a restart can start it again.
RelayEnds g_relay_ends;
// The device as it was made, for a restart.
std::string g_tun_name;
std::string g_tun_address4;
std::string g_tun_address6;
int g_restart_stop_pipe[2] = {-1, -1};
std::thread g_restart_thread;
std::string g_response;  // the answer stays valid until the next call
// Set and cleared on the caller's thread only: the restart thread replaces
// the device's descriptor meanwhile.
bool g_running = false;

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

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// A socket towards the configured server (IPv4 preferred), with the
// server's address as the relay's peer. Without a usable server the engine
// still takes packets in, but carries nothing, like an engine that cannot
// reach its server.
int OpenServerSocket(const EngineSettings& settings, RelayEnds* ends) {
  if (settings.server_address.empty() || settings.server_port.empty()) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* results = nullptr;
  if (getaddrinfo(settings.server_address.c_str(), settings.server_port.c_str(), &hints,
                  &results) != 0) {
    return -1;
  }
  const addrinfo* chosen = results;
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      chosen = entry;
      break;
    }
  }
  std::string error;
  const int fd = OpenRelaySocket(chosen->ai_family, 0, &error);
  if (fd >= 0) {
    std::memcpy(&ends->peer, chosen->ai_addr, chosen->ai_addrlen);
    ends->peer_length = chosen->ai_addrlen;
  }
  freeaddrinfo(results);
  return fd;
}

void StopRelay() {
  if (!g_relay_thread.joinable()) return;
  (void)!write(g_wake_pipe[1], "x", 1);
  g_relay_thread.join();
  char byte = 0;
  (void)!read(g_wake_pipe[0], &byte, 1);
}

// Closing the descriptor makes the kernel delete the device; the new one
// gets the same name and addresses, as a restarting engine makes it.
void RestartTunDevice() {
  StopRelay();
  close(g_tun_fd);
  std::string error;
  g_tun_fd = OpenTunDevice(g_tun_name, g_tun_address4, g_tun_address6, &error);
  if (g_tun_fd < 0) {
    LogEvent("restart failed: " + error);
    return;
  }
  g_relay_ends.tun_fd = g_tun_fd;
  g_relay_thread = std::thread(RelayPackets, g_relay_ends);
}

void WatchForRestart(const std::string& path) {
  pollfd stop = {g_restart_stop_pipe[0], POLLIN, 0};
  for (;;) {
    const int ready = poll(&stop, 1, 20);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    if (access(path.c_str(), F_OK) != 0) continue;
    RestartTunDevice();
    unlink(path.c_str());
  }
}

void StopRunningEngine() {
  if (g_restart_thread.joinable()) {
    (void)!write(g_restart_stop_pipe[1], "x", 1);
    g_restart_thread.join();
  }
  StopRelay();
  for (int* fd : {&g_wake_pipe[0], &g_wake_pipe[1], &g_udp_fd, &g_packet_log_fd, &g_tun_fd,
                  &g_restart_stop_pipe[0], &g_restart_stop_pipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  g_running = false;
}

// A child of the helper's process that never execs: it inherits every
// descriptor the process has open at this moment, as the workers of a real
// engine do. Only async-signal-safe calls after the fork.
void ForkWorker() {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
    for (;;) pause();
  }
  const std::string pid_file = EnvOr("LVH_ENGINE_WORKER_PID_FILE", "");
  if (pid < 0 || pid_file.empty()) return;
  const int fd = open(pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = std::to_string(pid) + "\n";
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

char* StartTunnel(const std::string& request) {
  const std::string config_path = FindStringMember(request, "configPath");
  const EngineSettings settings = ReadEngineSettings(ReadWholeFile(config_path));
  if (settings.tun_name.empty()) return AnswerFailure("no tun inbound in " + config_path);

  if (EnvOr("LVH_ENGINE_FORK_WORKER", "") == "1") ForkWorker();
  std::string error;
  g_tun_name = settings.tun_name;
  g_tun_address4 = EnvOr("LVH_ENGINE_TUN_ADDR", "172.19.0.1/30");
  g_tun_address6 = EnvOr("LVH_ENGINE_TUN_ADDR6", "fd00:66::1/64");
  const int fd = OpenTunDevice(g_tun_name, g_tun_address4, g_tun_address6, &error);
  if (fd < 0) return AnswerFailure(error);
  if (pipe2(g_wake_pipe, O_CLOEXEC) != 0) {
    close(fd);
    return AnswerFailure(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  g_tun_fd = fd;

  RelayEnds ends;
  ends.tun_fd = g_tun_fd;
  ends.wake_fd = g_wake_pipe[0];
  const std::string packet_log = EnvOr("LVH_ENGINE_PACKET_LOG", "");
  if (!packet_log.empty()) {
    g_packet_log_fd = open(packet_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  ends.log_fd = g_packet_log_fd;
  g_udp_fd = OpenServerSocket(settings, &ends);
  ends.udp_fd = g_udp_fd;
  g_relay_ends = ends;
  g_relay_thread = std::thread(RelayPackets, ends);
  g_running = true;
  const std::string restart_file = EnvOr("LVH_ENGINE_RESTART_FILE", "");
  if (!restart_file.empty() && pipe2(g_restart_stop_pipe, O_CLOEXEC) == 0) {
    g_restart_thread = std::thread(WatchForRestart, restart_file);
  }
  return AnswerWith("{\"success\":true,\"tun\":\"" + EscapeForJson(settings.tun_name) + "\"}");
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
  const std::string refuse_file = EnvOr("LVH_ENGINE_REFUSE_FILE", "");
  if (mode == "failure" || (!refuse_file.empty() && access(refuse_file.c_str(), F_OK) == 0)) {
    return AnswerFailure("engine refused the configuration");
  }
  if (mode.rfind("text:", 0) == 0) return AnswerWith(mode.substr(5));
  if (g_running) return AnswerFailure("already running");
  return StartTunnel(request);
}

#ifndef TEST_ENGINE_WITHOUT_STOP
extern "C" void CGoStopXray() {
  LogEvent("stop");
  WaitForGate("LVH_ENGINE_STOP_GATE");
  StopRunningEngine();
}
#endif
