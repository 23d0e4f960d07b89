#pragma once

#include <string>
#include <vector>

// The kill switch judges a packet by the device of its first route. A name
// lookup that the name-lookup table redirected to the tunnel's resolver
// still shows the route of the address it was sent to (the home router's,
// on the physical device), and would be rejected. These rules let it pass:
// redirected (conntrack state DNAT) from port 53 to one of TARGETS. That
// table itself drops such a lookup where it would really leave by any
// device but the TUN device.
//
// The rules of one family (AF_INET or AF_INET6), as "-A CHAIN" takes them
// and as "iptables -S" lists them; only texts that parse as addresses of
// the family get one.
std::vector<std::string> KillSwitchRedirectedLookupRules(int family,
                                                         const std::vector<std::string>& targets);
