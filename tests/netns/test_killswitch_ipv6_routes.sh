#!/bin/bash
# IPv6 under the kill switch when the host's IPv6 default route is no plain
# one at connect time: a multipath route (two routers on the link) and a
# route that appears only after READY. Datagrams to an outside IPv6 address
# must never reach the gateway, while the TUN device is up and after it is
# gone; each phase has its positive control, the same counter seeing the
# same datagrams without the helper.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup

OUTSIDE6=2001:db8:99::9
SECOND_ROUTER6=2001:db8:1::3
ip addr add "$HOST_IP6/64" dev eth0 nodad
gw_exec ip addr add "$GW_IP6/64" dev gw0 nodad
gw_exec ip addr add "$SECOND_ROUTER6/64" dev gw0 nodad
gw_exec ip addr add "$OUTSIDE6/128" dev lo nodad
gw_count_rule outside6 ip6tables -d "$OUTSIDE6" -p udp --dport 9999
CONFIG=$(ks_write_config qtun0 203.0.113.7)

send_outside() {  # three datagrams; the count at the gateway afterwards
  local i
  gw_reset_counts
  for i in 1 2 3; do echo probe | socat -u - "UDP6-SENDTO:[$OUTSIDE6]:9999" 2>/dev/null; done
  sleep 0.2
  gw_count outside6 ip6tables
}
multipath_route() {
  ip -6 route replace default nexthop via "$GW_IP6" dev eth0 nexthop via "$SECOND_ROUTER6" dev eth0
}
plain_route() { ip -6 route replace default via "$GW_IP6" dev eth0; }

# CASE: route before the connect | route added while READY | default6 line
CASES=(
  "multipath_route|:|INFO: default6 via=$GW_IP6 dev=eth0"
  ":|plain_route|INFO: default6 missing"
)
for case in "${CASES[@]}"; do
  IFS='|' read -r before during default6_line <<< "$case"
  what="${before#:}${during#:}"
  $before
  $during
  assert_eq 3 "$(send_outside)" "$what: control, the gateway counts IPv6 datagrams without the helper"
  ip -6 route flush default 2>/dev/null; $before

  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch
  wait_for_line READY && pass "$what: READY" || fail "$what: READY ($(cat "$HELPER_ERR"))"
  assert_contains "$(cat "$HELPER_OUT")" "$default6_line" "$what: the IPv6 default route as read"
  assert_contains "$(ip6tables -S ZELMO_KILLSWITCH 2>&1)" "-j REJECT" "$what: IPv6 chain installed"
  $during
  assert_eq 0 "$(send_outside)" "$what: tunnel up, nothing reaches the gateway"
  ip link delete qtun0
  assert_eq 0 "$(send_outside)" "$what: tunnel gone, nothing reaches the gateway"
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: STOPPED"
  assert_eq 3 "$(send_outside)" "$what: after STOPPED the same datagrams reach the gateway"
  ip -6 route flush default 2>/dev/null
done

testbed_finish
