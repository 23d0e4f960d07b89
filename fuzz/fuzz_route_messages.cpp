// Routing notifications come from the kernel, but their walk must hold for
// any bytes: no read past the buffer, whatever the lengths claim.
#include <cstddef>
#include <cstdint>

#include "lifecycle/route_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SummarizeRouteMessages(data, size);
  return 0;
}
