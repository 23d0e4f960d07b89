#pragma once

#include <string>
#include <vector>

struct AppRoutingPolicy {
  bool enabled = false;
  std::string mode = "disabled";
  std::vector<std::string> apps;
};

bool IsValidLinuxAppBypassPolicy(const std::string& text, std::string* error);
// A rejection returns the defaults and leaves a non-empty error text.
AppRoutingPolicy ParseAppRoutingPolicy(const std::string& text, std::string* error);
