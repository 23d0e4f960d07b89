// A rule dump comes from the kernel, but its walk must hold for any bytes:
// no read past the buffer, whatever the lengths claim, and no more rules
// than messages could fit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "lifecycle/policy_rule_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<DumpedRule> rules;
  ParsePolicyRuleDump(data, size, 1, &rules);
  FUZZ_CHECK(rules.size() <= size / 28);
  return 0;
}
