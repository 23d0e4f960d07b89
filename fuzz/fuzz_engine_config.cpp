// The configuration is the caller's file and may be of any size: the
// extractions must never crash, and a value never holds a double quote.
// (Their answers are compared with std::regex in fuzz_pattern_searches.)
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "routing/engine_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string tun = ExtractTunName(text);
  const std::string endpoint = ExtractProxyAddress(text);
  FUZZ_CHECK(tun.find('"') == std::string::npos);
  FUZZ_CHECK(endpoint.find('"') == std::string::npos);
  // A value found is quoted in the text.
  FUZZ_CHECK(tun.empty() || text.find("\"" + tun + "\"") != std::string::npos);
  FUZZ_CHECK(endpoint.empty() || text.find("\"" + endpoint + "\"") != std::string::npos);
  return 0;
}
