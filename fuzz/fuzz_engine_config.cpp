// The TUN name and endpoint host must be what the case-insensitive ECMAScript
// searches give. std::regex is the oracle on small inputs only: it recurses
// per character and would itself overflow the stack on long ones.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "fuzz_check.h"
#include "routing/engine_config.h"

namespace {

std::string OracleSearch(const std::string& text, const char* pattern) {
  const std::regex re(pattern, std::regex::ECMAScript | std::regex::icase);
  std::smatch match;
  if (std::regex_search(text, match, re) && match[1].matched) return match[1].str();
  return "";
}

const char kTunPattern[] =
    "\"protocol\"\\s*:\\s*\"tun\"[\\s\\S]*?\"name\"\\s*:\\s*\"([^\"]+)\"";
const char kEndpointPattern[] =
    "\"vnext\"\\s*:\\s*\\[[\\s\\S]*?\"address\"\\s*:\\s*\"([^\"]+)\"";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string tun = ExtractTunName(text);
  const std::string endpoint = ExtractProxyAddress(text);
  FUZZ_CHECK(tun.find('"') == std::string::npos);
  FUZZ_CHECK(endpoint.find('"') == std::string::npos);
  if (size <= 2048) {
    FUZZ_CHECK(tun == OracleSearch(text, kTunPattern));
    FUZZ_CHECK(endpoint == OracleSearch(text, kEndpointPattern));
  }
  return 0;
}
