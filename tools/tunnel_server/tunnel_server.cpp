// Test-only server end of the tunnel that the stand-in engine
// (tools/test_engine) carries:
//
//   tunnel_server [--tun NAME] [--address4 A/N] [--address6 A/N] [--port N]
//
// It creates its own TUN device (tunsrv0 with 172.19.0.2/30 and
// fd00:66::2/64 unless told otherwise), listens on UDP port N (443) in both
// families, writes the payload of every datagram into the device, and sends
// every packet the kernel writes into the device back to the peer that sent
// the last datagram. Its namespace routes and source-translates what it
// writes, so the engine's packets reach the servers beyond it and their
// answers come back the same way. It prints "ready" once it listens, and
// ends on SIGTERM or SIGINT (closing the device removes it).

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "packet_relay.h"
#include "tun_device.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) { (void)!write(g_stop_pipe[1], "x", 1); }

int Fail(const std::string& message) {
  std::cerr << "tunnel_server: " << message << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options = {
      {"--tun", "tunsrv0"}, {"--address4", "172.19.0.2/30"},
      {"--address6", "fd00:66::2/64"}, {"--port", "443"}};
  for (int i = 1; i < argc; i += 2) {
    if (options.count(argv[i]) == 0 || i + 1 >= argc) {
      return Fail("usage: tunnel_server [--tun NAME] [--address4 A/N] [--address6 A/N] [--port N]");
    }
    options[argv[i]] = argv[i + 1];
  }
  const int port = std::atoi(options["--port"].c_str());
  if (port <= 0 || port > 65535) return Fail("bad port " + options["--port"]);

  if (pipe2(g_stop_pipe, O_CLOEXEC) != 0) return Fail("cannot make a pipe");
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::string error;
  RelayEnds ends;
  ends.tun_fd = OpenTunDevice(options["--tun"], options["--address4"], options["--address6"], &error);
  if (ends.tun_fd < 0) return Fail(error);
  ends.udp_fd = OpenRelaySocket(AF_INET6, static_cast<unsigned>(port), &error);
  if (ends.udp_fd < 0) return Fail(error);
  ends.wake_fd = g_stop_pipe[0];
  ends.follow_sender = true;
  std::cout << "ready" << std::endl;
  RelayPackets(ends);
  close(ends.udp_fd);
  close(ends.tun_fd);
  return 0;
}
