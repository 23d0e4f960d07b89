#!/bin/bash
# The network changes under a READY helper, in the routed topology with a
# second router: it joins another subnet and router, its link goes down and
# up, a second interface with IPv6 becomes the default, it starts before the
# network is there. Each with the kill switch and a bypassSelected policy,
# and once without: within a few seconds every path converses through the
# right router (the address the server saw), nothing leaves through a router
# it must not (SYNs counted at both, beside the selected program's own
# conversations and one after the run as positive controls), and teardown
# leaves the new network exactly as it was without the helper.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_second_router
routed_rp_filter 2
APP=$(echo "watchapp$RANDOM$RANDOM" | cut -c1-15)
router_count_rule syn4 iptables -p tcp --syn -d "$SERVER4" --dport "$CONV_PORT"
router_count_rule syn6 ip6tables -p tcp --syn -d "$SERVER6" --dport "$CONV_PORT"


# Scenarios: the network before the start (from the test bed's), the change
# while READY, the way back to the test bed's network, and the router the
# new network uses (1 or 2).
roam_before() { :; }
roam_change() { first_network_down; join_second_network; }
roam_back() { leave_second_network; first_network_up; }
flap_before() { :; }
flap_change() { first_network_down; sleep 0.5; first_network_up; }
flap_back() { :; }
wired_before() {
  ip -6 route del default
  ip -4 route del default
  ip -4 route add default via "$GW_IP4" dev eth0 metric 600
}
wired_change() { join_second_network 100; }
wired_back() { leave_second_network; ip -4 route del default; first_network_up; }
late_before() { first_network_down; }
late_change() { first_network_up; }
late_back() { :; }
declare -A ROUTER_OF=([roam]=2 [flap]=1 [wired]=2 [late]=1)

# expected SCENARIO KILL_SWITCH POLICY: the table's rows ("" or "on").
expected() {
  local out4=$ROUTER_OUT4 out6=$ROUTER_OUT6
  [ "${ROUTER_OF[$1]}" = 2 ] && out4=$ROUTER2_OUT4 out6=$ROUTER2_OUT6
  printf '%s\n' "tunnel4=$ENDPOINT4" "tunnel6=$ENDPOINT6" "endpoint4=$out4" "endpoint6=$out6" \
    "bypass-prefix=$out4" "icmp-bypass=$([ -n "$2" ] && echo refused || echo answered)"
  [ -n "$3" ] && printf '%s\n' "selected4=$out4" "selected6=$out6"
  # Only the selected program's conversations leave through a router.
  local n=0
  [ -n "$3" ] && n=1
  [ "${ROUTER_OF[$1]}" = 2 ] && echo "syns4=0/$n syns6=0/$n" || echo "syns4=$n/0 syns6=$n/0"
}
measured() {
  router_reset_counts
  sleep "$1"
  printf '%s\n' "tunnel4=$(seen "$SERVER4")" "tunnel6=$(seen "$SERVER6")" \
    "endpoint4=$(seen "$ENDPOINT4")" "endpoint6=$(seen "$ENDPOINT6")" \
    "bypass-prefix=$(seen "$BYPASS_HOST4")" \
    "icmp-bypass=$(ping_ok "$SERVER4" && echo answered || echo refused)"
  [ -n "$2" ] && printf '%s\n' "selected4=$(seen_by_app "$SERVER4")" \
    "selected6=$(seen_by_app "$SERVER6")"
  echo "syns4=$(router_count syn4 iptables) syns6=$(router_count syn6 ip6tables)"
}

for scenario in roam flap wired late; do
  # The new network without the helper: what teardown must leave.
  "${scenario}_before"; "${scenario}_change"
  AFTER=$(testbed_snapshot)
  "${scenario}_back"; "${scenario}_before"
  for with in on ""; do
    policy=$with
    what="$scenario${with:+, kill switch and bypassSelected}"
    routed_start_helper --bypass-prefixes "$BYPASS_PREFIX4" ${with:+--kill-switch} \
      ${policy:+--app-routing-policy "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"$APP\"]}"} ||
      fail "$what: READY ($(cat "$HELPER_ERR"))"
    "${scenario}_change"
    # Within a few seconds: a table that is not yet right is measured again.
    want=$(expected "$scenario" "$with" "$policy")
    deadline=$((SECONDS + 8)) pause=0
    until table=$(measured "$pause" "$policy"); [ "$table" = "$want" ] ||
      [ "$SECONDS" -ge "$deadline" ]; do pause=0.5; done
    assert_eq "$want" "$table" "$what: conversations after the change"
    stop_helper
    assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: stopped"
    assert_eq "" "$(sed -n '/^READY$/,$p' "$HELPER_OUT" | grep -v -E '^(INFO: |READY$|STOPPED$)')" \
      "$what: after READY, status lines only"
    assert_eq "$AFTER" "$(testbed_snapshot)" "$what: teardown leaves the new network as it was"
    # Positive control of the leak counters: the same conversations, now
    # without the helper, leave through the new network's router.
    router_reset_counts
    seen "$SERVER4" > /dev/null; seen "$SERVER6" > /dev/null
    if [ "${ROUTER_OF[$scenario]}" = 2 ]; then want="0/1 0/1"; else want="1/0 1/0"; fi
    assert_eq "$want" "$(router_count syn4 iptables) $(router_count syn6 ip6tables)" \
      "$what: the counters do count"
    "${scenario}_back"; "${scenario}_before"
  done
  "${scenario}_back"
done

# The engine's device vanishes: the client is told; a device of that name
# coming back gets the split routes again.
routed_start_helper
ip link delete zelmo_vpn-tun0
wait_for_line "INFO: tun device zelmo_vpn-tun0 is gone" 5
assert_eq 0 "$?" "a deleted TUN is reported"
ip tuntap add dev zelmo_vpn-tun0 mode tun
ip link set zelmo_vpn-tun0 up
sleep 1
assert_contains "$(ip route get "$SERVER4")" "dev zelmo_vpn-tun0" "a TUN back gets its split routes"
stop_helper
ip link delete zelmo_vpn-tun0
testbed_finish
