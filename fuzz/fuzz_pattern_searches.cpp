// Every RE2-based search must answer what std::regex answers for the
// original ECMAScript pattern. Only the first kOracleBytes of an input are
// used: std::regex recurses per character and overflows on long texts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "approuting/policy_patterns.h"
#include "ecmascript_oracle.h"
#include "fuzz_check.h"
#include "recovery/stale_listings.h"
#include "routing/engine_config.h"

namespace {

constexpr size_t kOracleBytes = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::regex tun = OracleRegex(kTunNameRegex, true);
  static const std::regex proxy = OracleRegex(kProxyAddressRegex, true);
  static const std::regex mode = OracleRegex(kModeRegex, false);
  static const std::regex name = OracleRegex(kNameRegex, false);
  const std::string text(reinterpret_cast<const char*>(data),
                         size < kOracleBytes ? size : kOracleBytes);

  FUZZ_CHECK(ExtractTunName(text) == OracleFirstGroup(tun, text).value_or(""));
  FUZZ_CHECK(ExtractProxyAddress(text) == OracleFirstGroup(proxy, text).value_or(""));
  FUZZ_CHECK(SearchModeValue(text) == OracleFirstGroup(mode, text));
  FUZZ_CHECK(SearchQuotedNames(text) == OracleAllGroups(name, text));
  FUZZ_CHECK(ParseOwnedTunNames(text) == OracleOwnedTunNames(text));
  return 0;
}
