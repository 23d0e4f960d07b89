#pragma once

#include <string>

// Both searches give what the case-insensitive ECMAScript searches of the
// engine configuration give, in linear time on any input.
std::string ExtractTunName(const std::string& config_text);
std::string ExtractProxyAddress(const std::string& config_text);
