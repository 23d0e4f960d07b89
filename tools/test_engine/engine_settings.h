#pragma once

#include <string>

// What the stand-in engine takes from its configuration. It reads the JSON
// itself rather than with the helper's search, so that a fault in the
// helper's reading shows up as a disagreement instead of agreeing with itself.
struct EngineSettings {
  std::string tun_name;        // settings.name of the first inbound whose protocol is "tun"
  std::string server_address;  // settings.vnext[0].address of the first outbound
  std::string server_port;     // its port, as decimal text
};

// Keys match without regard to case and the last of duplicate keys wins,
// as in the engine's own decoder; the protocol value matches without regard
// to case. Fields not found stay empty; text that is not JSON gives all empty.
EngineSettings ReadEngineSettings(const std::string& config_text);
