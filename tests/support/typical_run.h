#pragma once

// A typical run for the watch's tests and fuzz target: the kill switch,
// an endpoint and a bypass prefix, on eth0 behind 192.0.2.1, with the
// engine's device tun0 present.

#include "tunnel_plan.h"
#include "watch/network_view.h"

inline TunnelPlan TypicalPlan() {
  TunnelPlan plan;
  plan.tun_name = "tun0";
  plan.endpoint_host = "vpn.test";
  plan.endpoint.ipv4 = {"203.0.113.7"};
  plan.bypass_prefixes = {"10.20.0.0/16"};
  plan.tun_routes = true;
  plan.kill_switch = true;
  return plan;
}

inline NetworkView OnEth0() {
  NetworkView view;
  view.default4 = {"192.0.2.1", "eth0"};
  view.tun_ifindex = 7;
  return view;
}
