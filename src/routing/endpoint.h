#pragma once

#include <string>
#include <vector>

struct ResolvedAddresses {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
};

ResolvedAddresses ResolveHostAddresses(const std::string& host);
