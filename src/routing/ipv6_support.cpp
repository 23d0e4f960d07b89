#include "routing/ipv6_support.h"

#include <unistd.h>

bool KernelHasIpv6() { return access("/proc/sys/net/ipv6", F_OK) == 0; }
