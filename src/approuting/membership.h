#pragma once

#include <atomic>

#include "approuting/policy.h"

// The monitor thread's stop request; written only on the main thread.
extern std::atomic<bool> g_app_routing_stop;

void RefreshAppRoutingCgroupMembership(const AppRoutingPolicy& policy);
void AppRoutingCgroupMonitor(AppRoutingPolicy policy);
