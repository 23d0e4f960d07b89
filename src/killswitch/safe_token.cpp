#include "killswitch/safe_token.h"

// Not built yet: arrives with the kill-switch work.
bool IsSafeShellToken(const std::string&) { return false; }
