// The listing of routing table 100 comes from the host: a table judged free
// is one the ICMP bypass may take over and empty again, so every route in
// it must be a default route through a gateway.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "routing/icmp_bypass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!IsIcmpBypassTableFree(text)) return 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, second;
    if (!(words >> first)) continue;
    words >> second;
    FUZZ_CHECK(first == "default" && second == "via");
  }
  return 0;
}
