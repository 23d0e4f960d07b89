#pragma once

// Following the network while READY: when the physical default route of a
// family changes (another gateway, another device, gone, or there at last),
// every piece that leads over it moves along; when the TUN device goes the
// client is told, and when it comes back its routes are put back.

#include <string>

#include "tunnel_plan.h"

struct NetworkReading {
  // Usable routes only: one that IsUsableDefaultRoute refuses reads as absent.
  DefaultRouteInfo default4;
  DefaultRouteInfo default6;
  bool tun_present = false;
};

struct NetworkChange {
  bool default4 = false;
  bool default6 = false;
  bool tun_gone = false;
  bool tun_back = false;
};

// The default routes by the start's own readers, and whether the TUN device
// exists.
NetworkReading ReadNetwork(const std::string& tun_name);

// What differs between the routes the plan follows (and the device as last
// seen) and a reading.
NetworkChange CompareNetwork(const TunnelPlan& plan, bool tun_present, const NetworkReading& now);

// Brings the host and the plan up to the reading, with one "INFO: " line
// per change. With reassert4 or reassert6, the pieces on an unchanged
// default route of that family are put in place again as well (routes of
// the family were removed; the replace commands change nothing where they
// still are). True when it ran anything on the host.
bool FollowNetwork(const NetworkReading& now, bool reassert4, bool reassert6, TunnelPlan* plan,
                   bool* tun_present);
