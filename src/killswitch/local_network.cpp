#include "killswitch/local_network.h"

#include <sys/socket.h>

namespace {

// Written as iptables-save and nft list them, /32 and all.
const std::vector<std::string>& Prefixes(int family) {
  static const std::vector<std::string> kIpv4 = {
      "10.0.0.0/8",     "172.16.0.0/12",       "192.168.0.0/16",    "169.254.0.0/16",
      "224.0.0.0/24",   "239.255.255.250/32", "255.255.255.255/32"};
  static const std::vector<std::string> kIpv6 = {"fe80::/10", "fc00::/7", "ff02::/16"};
  return family == AF_INET6 ? kIpv6 : kIpv4;
}

// nft lists a single address without its length.
std::string ListedByNft(const std::string& prefix) {
  const size_t slash = prefix.rfind("/32");
  return slash != std::string::npos && slash + 3 == prefix.size() ? prefix.substr(0, slash) : prefix;
}

}  // namespace

std::vector<std::string> LocalNetworkChainRules(int family, const std::string& tun_name) {
  // Refused before the prefixes can admit them; the chain's final REJECT
  // answers them the same way.
  std::vector<std::string> rules = {"-p udp --dport 53 -j REJECT", "-p tcp --dport 53 -j REJECT"};
  for (const std::string& prefix : Prefixes(family)) {
    rules.push_back("-d " + prefix + " ! -o " + tun_name + " -j RETURN");
  }
  // A directed broadcast is whatever address the host's own routes make a
  // broadcast address: the kernel's local table knows it.
  if (family == AF_INET) rules.push_back("! -o " + tun_name + " -m addrtype --dst-type BROADCAST -j RETURN");
  return rules;
}

std::vector<std::string> LocalNetworkTableRules() {
  std::vector<std::string> rules = {"meta oiftype != ether return",
                                    "meta l4proto { tcp, udp } th dport 53 return"};
  for (const int family : {AF_INET, AF_INET6}) {
    const std::string match = family == AF_INET ? "ip daddr " : "ip6 daddr ";
    for (const std::string& prefix : Prefixes(family)) {
      rules.push_back(match + ListedByNft(prefix) + " accept");
    }
    if (family == AF_INET) rules.push_back("fib daddr type broadcast accept");
  }
  return rules;
}

std::string LocalNetworkJump() { return std::string("jump ") + kLocalNetworkChain; }
