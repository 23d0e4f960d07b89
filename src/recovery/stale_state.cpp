#include "recovery/stale_state.h"

// Not built yet: arrives with the stale-state recovery work.
void CleanupZelmoOwnedState() {}
