#include "routing/engine_config.h"

// Not built yet: arrives with the tunnel-routing work.
std::string ExtractTunName(const std::string&) { return {}; }
std::string ExtractProxyAddress(const std::string&) { return {}; }
