#pragma once

// The endpoint's name, resolved at start, resolved again while READY for a
// family the start found no address of (no network of that family yet),
// when such a network comes; a lookup that brought nothing is asked again
// after a growing pause.

#include <cstdint>
#include <string>

#include "tunnel_plan.h"

// When the name is asked again after a late lookup found nothing (a
// resolver too slow or not answering yet), -1 while no retry is due, and
// the pause that led there.
struct LookupRetry {
  int64_t due_ms = -1;
  int64_t pause_ms = 0;
};

// True when a retry is due at now_ms; it is then put off by its pause, so a
// look that cannot read the routes does not wake the wait at once.
bool TakeDueLookupRetry(LookupRetry* retry, int64_t now_ms);

// Asks for the endpoint's addresses of the families wanted that the plan
// lacks, a second at most, and adds what came to the plan. True when
// addresses of a wanted family came; `line` is then the status line that
// tells the client. The retry is planned from the outcome.
bool ResolveMissingEndpoint(bool want4, bool want6, int64_t now_ms, TunnelPlan* plan,
                            LookupRetry* retry, std::string* line);
