#include "routing/engine_config.h"

#include "routing/pattern_search.h"

namespace {

// The TUN inbound: its protocol key, then the nearest name key after it
// with a non-empty value (the shortest gap wins).
const char kTunNamePattern[] =
    R"re("protocol"\s*:\s*"tun"[\s\S]*?"name"\s*:\s*"([^"]+)")re";

// The first server address inside a vnext array.
const char kProxyAddressPattern[] =
    R"re("vnext"\s*:\s*\[[\s\S]*?"address"\s*:\s*"([^"]+)")re";

// Keys and values match in any letter case; the result is group 1 of the
// leftmost match, or empty text.
std::string FindFirstCapture(const std::string& pattern_text, const std::string& config_text) {
  CompiledPattern pattern;
  std::string error;
  if (!CompilePattern(pattern_text, true, &pattern, &error)) return {};
  return MatchGroupText(FindPattern(pattern, config_text, 0), config_text, 1);
}

}  // namespace

std::string ExtractTunName(const std::string& config_text) {
  return FindFirstCapture(kTunNamePattern, config_text);
}

std::string ExtractProxyAddress(const std::string& config_text) {
  return FindFirstCapture(kProxyAddressPattern, config_text);
}
