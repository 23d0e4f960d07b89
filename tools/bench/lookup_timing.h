#pragma once

#include <string>

// One name lookup over UDP port 53 as a resolver sends it: a socket of its
// own (so a new flow, judged afresh by the firewall and the nat rules), one
// query for an A record of NAME, and the answer. Milliseconds, or -1 when
// no answer came within a second.
double TimeOneLookup(const std::string& server, const std::string& name);
