#include "routing/engine_config.h"

#include "lifecycle/byte_pattern.h"

namespace {

// The TUN inbound: its protocol key, then the nearest name key after it
// with a non-empty value (the shortest gap wins). ECMAScript original:
// "protocol"\s*:\s*"tun"[\s\S]*?"name"\s*:\s*"([^"]+)"
const char kTunNamePattern[] =
    R"re("protocol"[\t\n\v\f\r ]*:[\t\n\v\f\r ]*"tun"[\x00-\xff]*?"name"[\t\n\v\f\r ]*:[\t\n\v\f\r ]*"([^"]+)")re";

// The first server address inside a vnext array. ECMAScript original:
// "vnext"\s*:\s*\[[\s\S]*?"address"\s*:\s*"([^"]+)"
const char kProxyAddressPattern[] =
    R"re("vnext"[\t\n\v\f\r ]*:[\t\n\v\f\r ]*\[[\x00-\xff]*?"address"[\t\n\v\f\r ]*:[\t\n\v\f\r ]*"([^"]+)")re";

// Keys and values match in any letter case; the result is group 1 of the
// leftmost match, or empty text. Compiled per call: each runs once per
// process, and the automaton's memory goes with it.
std::string FindFirstCapture(const char* pattern_text, const std::string& config_text) {
  const RE2 pattern(pattern_text, BytePatternOptions(true));
  std::string value;
  size_t match_end = 0;
  if (!FindFirstGroup(pattern, config_text, 0, &value, &match_end)) return {};
  return value;
}

}  // namespace

std::string ExtractTunName(const std::string& config_text) {
  return FindFirstCapture(kTunNamePattern, config_text);
}

std::string ExtractProxyAddress(const std::string& config_text) {
  return FindFirstCapture(kProxyAddressPattern, config_text);
}
