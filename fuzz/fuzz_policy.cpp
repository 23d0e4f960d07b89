// The policy comes inline from the command line. Whatever it holds, the
// parser's record keeps its invariants and never crashes, and the names it
// yields are plain process names.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "approuting/policy.h"
#include "fuzz_check.h"

namespace {

bool IsPlainAppName(const std::string& name) {
  if (name.empty() || name.size() > 121) return false;
  if (!std::isalnum(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name) {
    if (!std::isalnum(c) && c != '_' && c != '.' && c != '+' && c != '-') return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string validator_error;
  const bool valid = IsValidLinuxAppBypassPolicy(text, &validator_error);
  FUZZ_CHECK(valid == validator_error.empty());

  std::string error;
  const AppRoutingPolicy policy = ParseAppRoutingPolicy(text, &error);
  FUZZ_CHECK(error.empty() == (text.empty() || valid));
  if (!error.empty() || !policy.enabled) {
    FUZZ_CHECK(!policy.enabled);
    FUZZ_CHECK(policy.mode == "disabled");
    FUZZ_CHECK(policy.apps.empty());
    return 0;
  }
  FUZZ_CHECK(!policy.mode.empty());
  FUZZ_CHECK(policy.mode.find('"') == std::string::npos);
  std::set<std::string> seen;
  for (const std::string& app : policy.apps) {
    FUZZ_CHECK(IsPlainAppName(app));
    FUZZ_CHECK(seen.insert(Lower(app)).second);
    for (const char* reserved :
         {"mode", "apps", "enabled", "disabled", "bypassSelected", "vpnOnlySelected"}) {
      FUZZ_CHECK(app != reserved);
    }
  }
  return 0;
}
