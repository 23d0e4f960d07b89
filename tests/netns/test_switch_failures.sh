#!/bin/bash
# Switching servers when something goes wrong, and signals around a switch,
# in the routed topology with two VPN servers.
# - A configuration the switch cannot use is one ERROR line that changes
#   nothing: the host is as it was and the first tunnel still carries.
#   Under the kill switch that includes a server name only the home
#   network's resolver knows, which the switch finds without it.
# - An engine that refuses the new request leaves the run without a tunnel:
#   under the kill switch nothing of the host's stream leaves (without it,
#   the control, the stream goes out through the home router); the next
#   SIGHUP tries again, and STOPPED still leaves the host as before.
# - A SIGHUP before READY is acted on right after it; several during a
#   switch make one more switch; SIGTERM during a switch, while the old
#   engine stops or the new one starts, tears both servers' pieces down.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_switch.sh"
source "$(dirname "$0")/lib_dns.sh"
switch_setup
BEFORE=$(testbed_snapshot)
EVENTS="$TESTBED_TMP/engine.events"
RUN_GATE="$TESTBED_TMP/run.gate"
STOP_GATE="$TESTBED_TMP/stop.gate"
REFUSE="$TESTBED_TMP/refuse"
export LVH_ENGINE_EVENT_LOG=$EVENTS LVH_ENGINE_RUN_GATE=$RUN_GATE LVH_ENGINE_STOP_GATE=$STOP_GATE \
  LVH_ENGINE_REFUSE_FILE=$REFUSE
touch "$RUN_GATE" "$STOP_GATE"
# The engine's calls so far, in order; engine_called CALLS: they are CALLS.
engine_calls() { grep -E '^(run|stop)$' "$EVENTS" | paste -sd ' '; }
engine_called() { [ "$(engine_calls)" = "$1" ]; }

# --- Configurations the switch refuses, each with its reason. The name
# that does not resolve asks a resolver that never answers and lets a
# lookup wait 30 s: the switch's own bound ends it first.
write_engine_config "$TESTBED_TMP/no-tun.json" zelmo_vpn-tun1 "$ENDPOINT2_NAME"
sed -i 's/"protocol": "tun"/"protocol": "socks"/' "$TESTBED_TMP/no-tun.json"
write_engine_config "$TESTBED_TMP/no-server.json" zelmo_vpn-tun1 ""
write_engine_config "$TESTBED_TMP/unsafe.json" "tun1;touch $TESTBED_TMP/shell-ran" "$ENDPOINT2_NAME"
write_engine_config "$TESTBED_TMP/unresolved.json" zelmo_vpn-tun1 nowhere.test
testbed_resolv_conf "nameserver $SERVER4" "options timeout:30 attempts:1"
inet_exec iptables -A INPUT -p udp --dport 53 -j DROP
: > "$EVENTS"
switch_start --kill-switch || fail "READY on the first server ($(cat "$HELPER_ERR"))"
READY_STATE=$(testbed_snapshot)
while IFS='|' read -r config why; do
  assert_eq "ERROR: cannot switch servers: $why; nothing changed" "$(switch_to "$config")" "refused: $why"
  assert_eq "$READY_STATE" "$(testbed_snapshot)" "refused: $why: the host is as it was"
  assert_eq "$ENDPOINT4" "$(seen "$SERVER4")" "refused: $why: the first tunnel still carries"
done << TABLE
none|the configuration cannot be read
$TESTBED_TMP/no-tun.json|the configuration names no TUN device
$TESTBED_TMP/no-server.json|the configuration names no server
$TESTBED_TMP/unsafe.json|invalid TUN interface name
$TESTBED_TMP/unresolved.json|the server's name does not resolve
TABLE
assert_eq "6 1 run" "$(outcome_count) $(grep -c '^READY$' "$HELPER_OUT") $(engine_calls)" \
  "refused: one ERROR line each, no READY and no engine call after the first"
[ -e "$TESTBED_TMP/shell-ran" ] && fail "refused: the unsafe TUN name reached a shell"
stop_and_compare refused

# --- A server named only by a resolver on the home network, as most are:
# without the kill switch the switch finds it; under the kill switch its
# lookup is refused like any other outside the tunnel, and so the switch.
gw_exec ip addr add 192.0.2.53/24 dev gw0
dns_resolver "$GW_PID" --listen-address=192.0.2.53 --host-record="far.test,$ENDPOINT2_4,$ENDPOINT2_6"
testbed_resolv_conf "nameserver 192.0.2.53" "options timeout:1 attempts:1"
write_engine_config "$TESTBED_TMP/far.json" zelmo_vpn-tun1 far.test
while read -r kill_switch outcome through; do
  if [ "$kill_switch" = with ]; then switch_start --kill-switch; else switch_start; fi ||
    fail "$kill_switch kill switch: READY on the first server"
  assert_eq "${outcome//_/ } $through" "$(switch_to "$TESTBED_TMP/far.json") $(seen "$SERVER4")" \
    "$kill_switch kill switch: a switch to a name only the home network's resolver knows"
  stop_and_compare "$kill_switch kill switch, far.test"
done << TABLE
without READY $ENDPOINT2_4
with ERROR:_cannot_switch_servers:_the_server's_name_does_not_resolve;_nothing_changed $ENDPOINT4
TABLE

# --- The engine refuses the new request: where the host's stream goes
# without a tunnel ("OUTSIDE FIRST SECOND"), then the next switch.
stream_start || fail "the stream starts"
while read -r kill_switch without_tunnel; do
  options="$kill_switch kill switch"
  if [ "$kill_switch" = with ]; then switch_start --kill-switch; else switch_start; fi ||
    fail "$options: READY on the first server ($(cat "$HELPER_ERR"))"
  touch "$REFUSE"
  assert_eq "ERROR: switch failed, no tunnel until the next switch: {\"success\":false,\"error\":\"engine refused the configuration\"}" \
    "$(switch_to "$SECOND")" "$options: the engine's answer in one ERROR line"
  assert_eq "${without_tunnel//_/ }" "$(stream_went 3)" "$options: the host's stream without a tunnel, for 3 s"
  rm "$REFUSE"
  assert_eq "READY 3" "$(switch_to "$SECOND") $(outcome_count)" "$options: the next SIGHUP reaches READY"
  assert_eq "$ENDPOINT2_4 $ENDPOINT2_6" "$(seen "$SERVER4") $(seen "$SERVER6")" \
    "$options: conversations through the second server"
  stop_and_compare "$options"
done << TABLE
with 0/0/0/0_0/0/0/0_0/0/0/0
without counted_0/0/0/0_0/0/0/0
TABLE
stream_stop > /dev/null

# --- A SIGHUP while the start is held in the engine: READY, then a
# reconnect to the same server (the engine stopped and run again) that
# keeps its pins.
rm "$RUN_GATE"
: > "$EVENTS"
cp "$FIRST" "$RUN_CONFIG"
start_helper --lib "$LVH_ENGINE" --config "$RUN_CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch
wait_for_file_line "$EVENTS" run || fail "before READY: the start reaches the engine"
kill -HUP "$HELPER_PID"
touch "$RUN_GATE"
assert_eq "READY READY" "$(next_outcome 0) $(next_outcome 1)" "before READY: READY, then READY again"
assert_eq "run stop run" "$(engine_calls)" "before READY: the engine is run, stopped and run again"
assert_eq "$ENDPOINT4" "$(seen "$SERVER4")" "before READY: the reconnect carries through the same server"
stop_and_compare "before READY"

# held_switch GATE CALLS WHAT: a kill switch run on the first server asked
# to switch to the second, held in the engine once it made CALLS, until
# GATE is back.
held_switch() {
  : > "$EVENTS"
  switch_start --kill-switch || fail "$3: READY on the first server"
  rm "$1"
  cp "$SECOND" "$RUN_CONFIG"
  kill -HUP "$HELPER_PID"
  wait_until 10 engine_called "$2" || fail "$3: the switch reaches the engine"
}

# --- Several SIGHUPs while a switch is held in the engine: one more switch.
held_switch "$RUN_GATE" "run stop run" several
for try in 1 2 3; do kill -HUP "$HELPER_PID"; sleep 0.1; done
touch "$RUN_GATE"
next_outcome 2 > /dev/null
sleep 1
assert_eq "READY READY READY" "$(outcome_lines | tr '\n' ' ' | sed 's/ $//')" "several: one switch more, READY once more"
assert_eq "run stop run stop run" "$(engine_calls)" "several: the engine is run once more"
assert_eq "$ENDPOINT2_4" "$(seen "$SERVER4")" "several: through the second server"
stop_and_compare several

# --- SIGTERM while a switch is held in the engine, in the old engine's
# stop or in the new one's run: both servers are pinned and admitted then,
# and STOPPED takes both away.
while read -r gate held; do
  held_switch "$gate" "$held" "${gate##*/}"
  assert_eq "$ENDPOINT4:yes $ENDPOINT6:yes $ENDPOINT2_4:yes $ENDPOINT2_6:yes" \
    "$(named "$ENDPOINT4" "$ENDPOINT6" "$ENDPOINT2_4" "$ENDPOINT2_6")" "${gate##*/}: both servers pinned and admitted"
  kill -TERM "$HELPER_PID"
  touch "$gate"
  wait_for_exit
  assert_eq "0 READY STOPPED" "$HELPER_STATUS $(outcome_lines | tr '\n' ' ')$(tail -n 1 "$HELPER_OUT")" \
    "${gate##*/}: SIGTERM ends the switch with STOPPED, no second READY"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "${gate##*/}: STOPPED leaves the host as before the run"
done << TABLE
$STOP_GATE run stop
$RUN_GATE run stop run
TABLE
testbed_finish
