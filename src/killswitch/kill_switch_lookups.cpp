#include "killswitch/kill_switch_lookups.h"

#include <arpa/inet.h>

std::vector<std::string> KillSwitchRedirectedLookupRules(int family,
                                                         const std::vector<std::string>& targets) {
  std::vector<std::string> rules;
  const std::string length = family == AF_INET ? "/32" : "/128";
  unsigned char bytes[sizeof(struct in6_addr)];
  for (const std::string& target : targets) {
    // The address grammar is the screen for this value.
    if (inet_pton(family, target.c_str(), bytes) != 1) continue;
    // The original destination port, whatever the protocol: the table
    // redirects UDP and TCP alike and nothing else.
    rules.push_back("-d " + target + length +
                    " -m conntrack --ctstate DNAT --ctorigdstport 53 -j RETURN");
  }
  return rules;
}
