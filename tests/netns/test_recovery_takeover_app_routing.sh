#!/bin/bash
# A start that takes over a killed run's app routing keeps the group, so a
# selected program's socket made before the crash keeps its policy: its
# datagrams go through the tunnel under vpnOnlySelected and around it
# under bypassSelected, as the servers beyond the routers count them. Each
# mode's zero is the other mode's positive count on the same counters. A
# member the new policy no longer selects is handed back, and the pieces
# are those the apply makes, also where the mode changed.
#
# The run is killed with SIGKILL while READY; the stand-in engine then runs
# again without the helper (the run mode is not the subject here), the
# routing driver puts the tunnel's routes back where the policy wants them,
# and the takeover driver takes the killed run's pieces over for the new
# device.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
stream_setup
DRIVER="$LVH_BUILD_DIR/tools/takeover_driver/takeover_driver"
GROUP=/sys/fs/cgroup/zelmo-vpn-app-routing
APP=tkapp$$
OLD=tkold$$
cp "$LEAK_STREAM" "$TESTBED_TMP/$APP"
cp "$(command -v sleep)" "$TESTBED_TMP/$OLD"
engine_driver_start || fail "the engine driver loads the engine"

# The selected program, started inside the group, so its sockets are the
# group's from the first: a stream of datagrams from one socket per family.
start_app_stream() {
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$GROUP" "$TESTBED_TMP/$APP" \
    --udp "$SERVER4" --udp "$SERVER6" --udp-port "$STREAM_PORT" \
    --tcp "$SERVER4" --tcp "$SERVER6" --tcp-port "$STREAM_PORT" > "$TESTBED_TMP/app.out" 2>&1 &
  APP_PID=$!
  wait_for_file_line "$TESTBED_TMP/app.out" ready
}
# The host's state, line by line in any order: the apply here follows the
# killed run's ICMP bypass rules, which a run installs after app routing.
pieces() { testbed_snapshot | sort; }
app_routing() { "$DRIVER" app-routing "$1" "$2" zelmo_vpn-tun0 "$GW_IP4" eth0 "$GW_IP6" eth0 "$APP"; }
in_group() { [ "$(sed -n 's/^0:://p' "/proc/$1/cgroup")" = /zelmo-vpn-app-routing ]; }

# scenario KILLED_MODE MODE: a run of KILLED_MODE selecting both programs
# is killed, the engine runs again, and the takeover to MODE selects the
# stream's program alone; then two seconds of counts. The pieces it leaves
# are those the apply of MODE makes.
scenario() {
  local killed_mode=$1 mode=$2 taken_over
  routed_start_helper --app-routing-policy "{\"enabled\":true,\"mode\":\"$killed_mode\",\"apps\":[\"$APP\",\"$OLD\"]}" &&
    pass "$mode: killed run READY" || fail "$mode: killed run READY"
  "$TESTBED_TMP/$OLD" infinity &
  OLD_PID=$!
  wait_until 10 in_group "$OLD_PID" || fail "$mode: the killed run moved the other program"
  start_app_stream || fail "$mode: the stream runs"
  stop_helper KILL
  assert_contains "$(engine_driver_do run "$ROUTED_CONFIG")" '"success":true' "$mode: the engine runs again"
  # As the run does before its policy: everything else into the tunnel
  # (not for vpnOnlySelected), the server around it.
  [ "$mode" = bypassSelected ] && "$LVH_BUILD_DIR/tools/routing_driver/routing_driver" apply zelmo_vpn-tun0 \
    "$ENDPOINT_NAME" "$GW_IP4" eth0 "$GW_IP6" eth0 "$ENDPOINT4" "$ENDPOINT6" ""
  assert_eq "OK" "$(app_routing takeover "$mode")" "$killed_mode to $mode: takeover"
  taken_over=$(pieces)
  outside_reset
  through_reset
  sleep 2
  OUTSIDE=$(outside_counts)
  THROUGH=$(through_counts)
  echo "$mode: outside $OUTSIDE, through $THROUGH"
  assert_eq "kept/handed back" "$(in_group "$APP_PID" && echo kept)/$(in_group "$OLD_PID" || echo handed back)" \
    "$mode: the selected program stays in the group, the other goes back"
  "$DRIVER" app-routing-cleanup
  app_routing apply "$mode" > /dev/null
  assert_eq "$(pieces)" "$taken_over" "$killed_mode to $mode: the pieces are the apply's"
  kill "$APP_PID" "$OLD_PID"
  wait "$APP_PID" "$OLD_PID" 2> /dev/null
  engine_driver_do stop > /dev/null
  run_helper --cleanup
}

# kinds COUNTS: the "udp4/udp6/syn4/syn6" counts as each at least 10 ("many") or 0.
kinds() { tr '/' '\n' <<< "$1" | awk '{ printf "%s%s", (NR > 1 ? "/" : ""), ($1 >= 10 ? "many" : $1) }'; }

THROUGH_ALONE="outside 0/0/0/0 through many/many/many/many"
AROUND_ALONE="outside many/many/many/many through 0/0/0/0"
scenario vpnOnlySelected vpnOnlySelected
assert_eq "$THROUGH_ALONE" "outside $(kinds "$OUTSIDE") through $(kinds "$THROUGH")" \
  "vpnOnlySelected: the open socket's datagrams and new connections go through the tunnel alone"
scenario bypassSelected bypassSelected
assert_eq "$AROUND_ALONE" "outside $(kinds "$OUTSIDE") through $(kinds "$THROUGH")" \
  "bypassSelected: the open socket's datagrams and new connections go around the tunnel alone"
scenario bypassSelected vpnOnlySelected
assert_eq "$THROUGH_ALONE" "outside $(kinds "$OUTSIDE") through $(kinds "$THROUGH")" \
  "bypassSelected to vpnOnlySelected: the open socket follows the new mode"
testbed_finish
