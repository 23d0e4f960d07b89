#include "watch/watch_state.h"

WatchState StartWatchState(const TunnelPlan& plan) {
  WatchState state;
  state.view.default4 = UsableOrAbsent(plan.default4);
  state.view.default6 = UsableOrAbsent(plan.default6);
  state.view.tun_ifindex = plan.tun_ifindex;
  // The device's addresses as READY found them (the start has just printed
  // them): a loss before the first look is told like a later one.
  if (plan.tun_ifindex != 0) ReadTunAddresses(plan.tun_name, &state.view);
  if (plan.icmp_bypass) state.icmp_table_route = plan.default4;
  // The start said why it left the ICMP bypass out.
  state.icmp_table_foreign_told = !plan.icmp_bypass;
  return state;
}
