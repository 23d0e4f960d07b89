#pragma once

#include <string>

// Creates the TUN device NAME (IFF_TUN | IFF_NO_PI), gives it ADDRESS4
// ("A/N", or "none" for no IPv4 address), brings it up, then gives it
// ADDRESS6 likewise. The device lives as long as the returned descriptor;
// on failure -1, with why in *error.
int OpenTunDevice(const std::string& name, const std::string& address4,
                  const std::string& address6, std::string* error);
