#pragma once

#include <cstddef>

// Routing notifications from the kernel: links, addresses, routes and
// policy rules of both families, on one non-blocking netlink socket. The
// watch while READY only needs to know what kind of thing changed; it then
// reads the host again with the same readers as at start.

struct RouteEventSummary {
  bool links = false;
  bool addresses = false;
  bool routes = false;
  bool rules = false;
  // A route of the family outside the local table went away: the kernel
  // drops every route through a device that goes down, the helper's own
  // among them, even when the same default route is back a moment later.
  bool routes_removed4 = false;
  bool routes_removed6 = false;
  // The socket's buffer ran over: messages were lost, anything may have
  // changed.
  bool overrun = false;
};

// A non-blocking, close-on-exec socket subscribed to the groups above, or
// -1 when the kernel refuses one.
int OpenRouteEvents();

// What kinds of change one buffer of netlink messages reports. A truncated
// or malformed message ends the walk.
RouteEventSummary SummarizeRouteMessages(const void* data, size_t length);

// Reads every message waiting on the socket and sums them up.
RouteEventSummary DrainRouteEvents(int fd);
