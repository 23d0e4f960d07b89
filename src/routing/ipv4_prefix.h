#pragma once

#include <string>
#include <vector>

// Canonical a.b.c.d/n with host bits cleared, or empty text when the input
// is not a valid IPv4 prefix.
std::string NormalizeIpv4Cidr(const std::string& text);
std::vector<std::string> ParseIpv4CidrsCsv(const std::string& csv);
