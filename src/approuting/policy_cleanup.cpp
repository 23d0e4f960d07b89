#include "approuting/policy_cleanup.h"

// Not built yet: arrives with the app-routing work.
void CleanupAppRoutingPolicy() {}
