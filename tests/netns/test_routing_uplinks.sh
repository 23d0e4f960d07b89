#!/bin/bash
# Uplinks as they come, in the routed topology, judged by conversations:
# - an uplink without a gateway (PPP-like: "default dev ppp0" in both
#   families, no via): the tunnel carries IPv4 and IPv6, the endpoint and
#   the bypass prefix are reached around it, the ICMP bypass answers a
#   ping, and nothing is left after STOPPED or after a kill and the cleanup
#   mode;
# - a user's own default route in table 100 (a second uplink's) keeps its
#   traffic on its router at READY, survives the run and the cleanup after
#   a kill, and the ICMP bypass says once why it is not installed.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_ppp_uplink
ppp_uplink_default
gw_exec iptables -t raw -A PREROUTING -i pp0 -p icmp --icmp-type echo-request -m comment --comment echo4
BEFORE=$(testbed_snapshot)

# A ping answered, and its echo request seen at the router's pp0.
pinged() {
  gw_reset_counts
  ping_ok "$SERVER4" && echo "answered/$(gw_count echo4 iptables)" || echo "refused/$(gw_count echo4 iptables)"
}
paths() {
  printf '%s\n' "server4=$(seen "$SERVER4")" "server6=$(seen "$SERVER6")" \
    "endpoint4=$(seen "$ENDPOINT4")" "endpoint6=$(seen "$ENDPOINT6")" \
    "bypass-prefix=$(seen "$BYPASS_HOST4")" "ping=$(pinged)"
}
told_twice() { [ "$(grep -c -x -F -- "$1" "$HELPER_OUT")" = 2 ]; }
around="server4=$ROUTER_OUT4 server6=$ROUTER_OUT6"
pinned="endpoint4=$ROUTER_OUT4 endpoint6=$ROUTER_OUT6 bypass-prefix=$ROUTER_OUT4 ping=answered/1"
assert_eq "$around $pinned" "$(paths | xargs)" "without the helper every path leaves over ppp0"

for end in STOPPED "kill and cleanup"; do
  routed_start_helper --bypass-prefixes "$BYPASS_PREFIX4" || fail "$end: READY ($(cat "$HELPER_ERR"))"
  assert_contains "$(cat "$HELPER_OUT")" "INFO: default6 dev=ppp0" "$end: the IPv6 route without a gateway is read"
  assert_eq "server4=$ENDPOINT4 server6=$ENDPOINT6 $pinned" "$(paths | xargs)" \
    "$end: the tunnel carries both families, the pinned paths stay on ppp0"
  if [ "$end" = STOPPED ]; then
    stop_helper
  else
    stop_helper KILL
    run_helper --cleanup
  fi
  assert_eq "$BEFORE" "$(testbed_snapshot)" "after $end the host is as before"
done

# --- A second uplink whose default route the user keeps in table 100,
# with a rule of the user's sending one server over it.
routed_second_router
ip addr add "$HOST2_IP4/24" dev eth1
ip link set eth1 up
ip route add default via "$ROUTER2_IP4" dev eth1 table 100
ip rule add to "$SERVER4" lookup 100 priority 50
OWNED=$(testbed_snapshot)
assert_eq "$ROUTER2_OUT4" "$(seen "$SERVER4")" "without the helper the user's rule sends the server over router2"
for end in STOPPED "kill and cleanup"; do
  routed_start_helper || fail "table 100 of another owner, $end: READY ($(cat "$HELPER_ERR"))"
  assert_eq 1 "$(grep -c '^INFO: ICMP bypass not installed' "$HELPER_OUT")" \
    "table 100 of another owner, $end: one line says the bypass is not installed"
  assert_contains "$(cat "$HELPER_OUT")" \
    "INFO: ICMP bypass not installed; routing table 100 holds routes of another owner" \
    "table 100 of another owner, $end: and why"
  assert_eq "$ROUTER2_OUT4 $ENDPOINT6" "$(seen "$SERVER4") $(seen "$SERVER6")" \
    "table 100 of another owner, $end: at READY its traffic keeps router2, the rest takes the tunnel"
  # The main default route over the second uplink makes the user's route
  # look just like the bypass's for a while; back on ppp0, it is still
  # the user's, and nothing of the bypass came.
  ip route replace default via "$ROUTER2_IP4" dev eth1
  wait_for_line "INFO: default4 via=$ROUTER2_IP4 dev=eth1" || fail "$end: the move onto eth1 is seen"
  sleep 0.5
  ip route replace default dev ppp0
  wait_until 20 told_twice "INFO: default4 via=0.0.0.0 dev=ppp0" || fail "$end: the move back is seen"
  sleep 1
  assert_eq "default via $ROUTER2_IP4 dev eth1|" \
    "$(ip -4 route show table 100 | xargs)|$(ip rule show priority 100)" \
    "table 100 of another owner, $end: the main route passing over it changes nothing there"
  if [ "$end" = STOPPED ]; then
    stop_helper
  else
    stop_helper KILL
    run_helper --cleanup
  fi
  assert_eq "$OWNED" "$(testbed_snapshot)" "table 100 of another owner survives $end"
done
testbed_finish
