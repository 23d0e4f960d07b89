#pragma once

// What the run decided and installed, shared by the start sequence, the
// watch while READY and the teardown. Every removal is given the same values
// as the install it undoes; while READY the watch updates them (a new
// default route, say) together with the host, so teardown removes the
// pieces as they are now.

#include <string>
#include <vector>

#include "approuting/policy.h"
#include "routing/default_route.h"
#include "routing/endpoint.h"

struct TunnelPlan {
  std::string tun_name;
  std::string endpoint_host;
  DefaultRouteInfo default4;
  DefaultRouteInfo default6;
  ResolvedAddresses endpoint;
  std::vector<std::string> bypass_prefixes;
  AppRoutingPolicy policy;
  // What the start installed beyond the routes.
  bool kill_switch = false;
  bool icmp_bypass = false;
};

// A policy that steers programs marks their packets; the kill switch lets
// those pass, since the policy's tables send them where they belong.
inline bool PolicyMarksPrograms(const AppRoutingPolicy& policy) {
  return policy.enabled && policy.mode != "disabled";
}
