#include "routing/ipv4_prefix.h"

// Not built yet: arrives with the tunnel-routing work.
std::string NormalizeIpv4Cidr(const std::string&) { return {}; }
std::vector<std::string> ParseIpv4CidrsCsv(const std::string&) { return {}; }
