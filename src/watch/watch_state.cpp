#include "watch/watch_state.h"

WatchState StartWatchState(const TunnelPlan& plan) {
  WatchState state;
  state.view.default4 = UsableOrAbsent(plan.default4);
  state.view.default6 = UsableOrAbsent(plan.default6);
  state.view.tun_ifindex = plan.tun_ifindex;
  if (plan.icmp_bypass) state.icmp_table_route = plan.default4;
  // The start said why it left the ICMP bypass out.
  state.icmp_table_foreign_told = !plan.icmp_bypass;
  return state;
}
