#!/bin/bash
# A start right after a run was killed with SIGKILL takes the killed run's
# pieces over instead of tearing them down first. In the routed topology
# with a second VPN server, the host's leak stream counted at the home
# router: a run with the kill switch on the first server is killed and a
# start on the second follows at once. From the kill to a second after the
# new READY nothing leaves outside the tunnel, where the same counters
# count the stream without the helper and, in the same window, when the
# cleanup mode runs between the kill and the start; the first server's
# pins go. With a vpnOnlySelected policy (no split routes: only the kill
# switch holds the host's stream) the selected program's sockets, made
# before the kill, keep their policy: their datagrams arrive through the
# second server. A killed run's name-lookup redirect goes where the next
# start has no --dns. A start that fails after a kill keeps the kill switch
# and says so: nothing leaves until --cleanup, and the host is then exactly
# as before the first run.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_second_vpn
stream_setup
SECOND="$TESTBED_TMP/second.json"
routed_write_second_config "$SECOND"
APP=tkstream$$
VPN_ONLY="{\"enabled\":true,\"mode\":\"vpnOnlySelected\",\"apps\":[\"$APP\"]}"
BEFORE=$(testbed_snapshot)

stream_start || fail "the host's stream starts"
outside_reset
sleep 1
assert_eq counted "$(stream_counted "$(outside_counts)")" "no helper: the host's stream leaves through the router"

arrive_through_first() { [ "$(stream_counted "$(through_counts)")" = counted ]; }
# The servers pinned around the tunnel.
pins() { { ip -4 route show; ip -6 route show; } | awk '/ metric 3/ { print $1 }' | sort | xargs; }

# restart_after_kill CLEANUP ARGS...: a run with ARGS on the first server
# (with a policy, the selected program's stream started in its group) is
# killed once the streams arrive through it; with CLEANUP "cleanup" the
# cleanup mode runs next; then a start with ARGS on the second server.
# RESULT: what left outside from the kill to a second after READY, whether
# the streams arrived through the second server in that second, the pins
# then. The run is stopped again, and must leave nothing.
restart_after_kill() {
  local cleanup=$1 app=
  shift
  [[ $* == *vpnOnlySelected* ]] && app="app:$APP"
  routed_start_helper "$@" || fail "READY on the first server ($*)"
  [ -n "$app" ] && { stream_start "$app" || fail "the selected program's stream starts"; }
  through_reset
  wait_until 5 arrive_through_first || fail "the streams arrive through the first server"
  outside_reset
  stop_helper KILL 2> /dev/null
  [ "$cleanup" = cleanup ] && run_helper --cleanup
  routed_start_helper_on "$SECOND" "$@" || fail "READY on the second server ($(cat "$HELPER_OUT"))"
  through_reset
  sleep 1
  RESULT=$(echo "$(outside_counts)" "$(stream_counted "$(through_counts 2)")" $(pins))
  stop_helper
  [ -n "$app" ] && stream_stop "$app" > /dev/null
  assert_eq "0 STOPPED|$BEFORE" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")|$(testbed_snapshot)" \
    "$* (cleanup between: $cleanup): the run stops; nothing of the killed run is left"
}

restart_after_kill cleanup --kill-switch
echo "    SIGKILL, --cleanup, start: ${RESULT%% *} outside (udp4/udp6/syn4/syn6) until the new kill switch stood"
[[ $RESULT =~ ^[1-9][0-9]*/[1-9][0-9]*/ ]] && pass "control: with the cleanup between the kill and the start the same window counts datagrams of both families" ||
  fail "control: the cleanup's window counts datagrams ($RESULT)"
# kill switch arguments | outside, the kill to READY + 1 s | through the second server | pins
ROWS="
--kill-switch | 0/0/0/0 | counted | $ENDPOINT2_4 $ENDPOINT2_6
--kill-switch --app-routing-policy $VPN_ONLY | 0/0/0/0 | counted |
"
while IFS='|' read -r args want; do
  read -r -a args <<< "$args"
  [ ${#args[@]} -gt 0 ] || continue
  restart_after_kill none "${args[@]}"
  assert_eq "$(echo ${want//|/ })" "$RESULT" \
    "SIGKILL then a start on the other server (${args[*]}): nothing outside, through the new server, its pins alone"
done <<< "$ROWS"

# A killed run's name-lookup redirect and a start without --dns: the table
# goes, or it would send every lookup into a tunnel that is gone, past the
# new run's STOPPED.
routed_start_helper --kill-switch --dns 10.8.0.1 || fail "READY with --dns"
stop_helper KILL 2> /dev/null
routed_start_helper_on "$SECOND" --kill-switch || fail "READY without --dns"
stop_helper
assert_eq "0 STOPPED|$BEFORE" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")|$(testbed_snapshot)" \
  "a start without --dns after a killed --dns run: nothing of the redirect is left"

routed_start_helper --kill-switch || fail "READY on the first server"
stop_helper KILL 2> /dev/null
outside_reset
: > "$TESTBED_TMP/refuse"
LVH_ENGINE_REFUSE_FILE="$TESTBED_TMP/refuse" run_helper --lib "$LVH_ENGINE" --config "$SECOND" \
  --dat-dir "$TESTBED_TMP" --kill-switch
sleep 2
assert_eq "2 ERROR: {\"success\":false,\"error\":\"engine refused the configuration\"}; traffic stays blocked by the kill switch until a start succeeds or --cleanup removes it 0/0/0/0" \
  "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT") $(outside_counts)" \
  "a start that fails after a kill says the kill switch stays; nothing leaves for 2 s"
# One that fails before it reaches the kill switch (a library that cannot
# be loaded) leaves it as it stood, and says so as well.
run_helper --lib "$TESTBED_TMP/missing.so" --config "$SECOND" --dat-dir "$TESTBED_TMP" --kill-switch
assert_eq "2 stays blocked by the kill switch until a start succeeds or --cleanup removes it" \
  "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT" | grep -o 'stays blocked by.*')" \
  "a start that fails before the takeover says the kill switch stays"
run_helper --cleanup
outside_reset
sleep 1
assert_eq "counted|$BEFORE" "$(stream_counted "$(outside_counts)")|$(testbed_snapshot)" \
  "--cleanup: the stream leaves through the router again, the host exactly as before the first run"
stream_stop > /dev/null
testbed_finish
