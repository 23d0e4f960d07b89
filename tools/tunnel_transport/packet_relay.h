#pragma once

#include <sys/socket.h>

#include <string>

// One end of the test tunnel: every IP packet the kernel writes into the
// TUN device travels as the payload of one UDP datagram to the peer, and
// the payload of every datagram that comes back is written into the device.
struct RelayEnds {
  int tun_fd = -1;
  int udp_fd = -1;             // -1: packets are read (and logged) but go nowhere
  int wake_fd = -1;            // RelayPackets returns once this is readable
  int log_fd = -1;             // a packet line per packet entering the device, or -1
  sockaddr_storage peer{};
  socklen_t peer_length = 0;   // 0: no peer yet
  bool follow_sender = false;  // the peer becomes whoever sent the last datagram;
                               // otherwise datagrams from anyone else are ignored
};

// A UDP socket of FAMILY bound to PORT (0: any free port); an AF_INET6
// socket takes IPv4 too. -1 on failure, with why in *error.
int OpenRelaySocket(int family, unsigned port, std::string* error);

// Carries packets both ways until the wake descriptor becomes readable.
void RelayPackets(RelayEnds ends);
