#!/bin/bash
# A killed run pinned server A (IPv4 and IPv6) and two bypass prefixes;
# the next run goes to server B and keeps one of the prefixes. The pins of
# A and of the dropped prefix go, in both families; B's pins, the kept
# prefix and a user's own metric-3 route through another gateway stay. The
# same after the network moved on before the new start: A's pins are found
# over the old gateways that the killed run's own tables still name.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_setup --ipv6
testbed_second_network
testbed_hosts "203.0.113.7 vpn.test" "2001:db8:5::7 vpn.test"
CONFIG="$TESTBED_TMP/a.json"
write_engine_config "$CONFIG" qtun0 vpn.test
DRIVER="$LVH_BUILD_DIR/tools/takeover_driver/takeover_driver"
B4=198.18.0.7
B6=2001:db8:6::7

pins() { { ip -4 route show; ip -6 route show; } | grep ' metric 3' | sed 's/ pref medium//; s/ *$//'; }

# killed_run_on_a GW4 GW6: a run on server A, killed with SIGKILL while
# READY, then B's pins over GW4 / GW6 as the new run makes them, and a
# user's route.
killed_run_on_a() {
  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
    --bypass-prefixes 10.20.0.0/16,172.16.5.0/24 \
    --app-routing-policy '{"enabled":true,"mode":"bypassSelected","apps":["nosuchapp"]}'
  wait_for_line READY && pass "run on A READY" || fail "run on A READY"
  stop_helper KILL
  "${ROAM[@]}"
  ip route add "$B4/32" via "$1" metric 3
  ip -6 route add "$B6/128" via "$2" metric 3
  ip route add 198.51.100.0/24 via 192.0.2.3 dev eth0 metric 3
}

# remove_and_expect GW4 GW6 DEVICE WHAT: the removal for server B and the
# kept prefix leaves B's pins over GW4 / GW6 on DEVICE, the kept prefix
# and the user's route.
remove_and_expect() {
  assert_eq "5/2" "$(pins | grep -c -v :)/$(pins | grep -c :)" "$4: precondition"
  "$DRIVER" remove-other-pins "$B4" "$B6" 10.20.0.0/16
  assert_eq "10.20.0.0/16 via $GW_IP4 dev eth0 metric 3
$B4 via $1 dev $3 metric 3
198.51.100.0/24 via 192.0.2.3 dev eth0 metric 3
$B6 via $2 dev $3 metric 3" "$(pins)" "$4"
}

ROAM=(true)
killed_run_on_a "$GW_IP4" "$GW_IP6"
remove_and_expect "$GW_IP4" "$GW_IP6" eth0 "A's pins and the dropped prefix go; B's, the kept prefix and the user's stay"
run_helper --cleanup

ROAM=(testbed_roam)
killed_run_on_a "$SECOND_GW_IP4" "$SECOND_GW_IP6"
remove_and_expect "$SECOND_GW_IP4" "$SECOND_GW_IP6" eth1 \
  "moved on: A's pins over the old gateways go; the kept prefix waits for the new run's replace"
testbed_finish
