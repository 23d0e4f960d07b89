#pragma once

// False on a kernel started without IPv6 (ipv6.disable=1): it carries no
// IPv6 traffic, and ip6tables cannot work there.
bool KernelHasIpv6();
