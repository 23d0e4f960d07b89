#!/bin/bash
# A run's part in the lockdown block, in the routed topology with the
# host's leak stream counted at the home router, and the host's upkeep (a
# DHCP renewal by unicast, DHCPv6, a router solicitation) answered there.
# One table of steps: each step's action, then what left outside the
# tunnel from the action (from the end of a start on an open host) to
# 1.5 s after it, whether the upkeep is answered
# and what the block is. No helper and --unblock are the counts' positive
# controls; in between (a --lockdown run, its STOPPED, a start that takes
# the block over, the watch putting it back, SIGKILL, --cleanup, a failed
# start, a takeover that fails after a kill, a refused switch) nothing leaves outside the tunnel, and the block
# stands dormant while a run carries a tunnel and judges otherwise. Last,
# a --lockdown start that fails, or is cancelled, on a host without a block
# leaves one as well.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_killswitch.sh"
routed_setup
ks_upkeep_servers
stream_setup
CONFIG="$TESTBED_TMP/run.json"
routed_write_config "$CONFIG" zelmo_vpn-tun0
# While this file exists every engine run refuses (the helper's own, a switch's).
export LVH_ENGINE_REFUSE_FILE="$TESTBED_TMP/refuse"
REFUSED='{"success":false,"error":"engine refused the configuration"}'
KEPT_TEXT="traffic stays blocked (lockdown) until a start with --kill-switch or --unblock"
KEPT="INFO: $KEPT_TEXT"
BEFORE=$(testbed_snapshot)
stream_start || fail "the host's stream starts"

block() {
  local listing
  listing=$(nft list table inet zelmo-vpn-block 2> /dev/null) || { echo absent; return; }
  grep -q 'flags dormant' <<< "$listing" && echo dormant || echo judging
}
# put_back WANT: the block deleted under the running helper comes back as WANT.
put_back() {
  nft delete table inet zelmo-vpn-block
  wait_until 10 test "$(block)" = "$1"
  assert_eq "$1 INFO: restored lockdown block" "$(block) $(grep -m 1 'restored lockdown block' "$HELPER_OUT")" \
    "the watch puts the block back, $1"
}
ready_through() {
  through_reset
  sleep 0.5
  assert_eq counted "$(stream_counted "$(through_counts)")" "$1: the stream arrives through the tunnel"
}
last_lines() { tail -n "$1" "$HELPER_OUT" | paste -sd'|'; }
start() { routed_start_helper_on "$CONFIG" "$@" || fail "READY with $* ($(cat "$HELPER_OUT"))"; }

step_refused() {
  OUT=$(timeout -s KILL 20 "$LVH_HELPER" --lib "$LVH_ENGINE" --config "$CONFIG" --lockdown)
  assert_eq "2 ERROR: --lockdown requires --kill-switch|$BEFORE" "$? $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" \
    "--lockdown without --kill-switch is refused and changes nothing"
}
step_lockdown() {
  start --kill-switch --lockdown
  outside_reset
  ready_through lockdown
  put_back dormant
}
step_stopped() {
  stop_helper
  # The watch compared the dormant block with its listing: a form it did
  # not foresee would have been made again, with a line each time.
  assert_eq "0 $KEPT|STOPPED|1" "$HELPER_STATUS $(last_lines 2)|$(grep -c 'INFO: restored' "$HELPER_OUT")" \
    "the --lockdown run stops and says the block stays; the watch restored it once, when it was deleted"
  STOPPED=$(testbed_snapshot)
}
step_taken_over() {
  start --kill-switch
  ready_through "a start that takes the block over"
}
step_killed() { stop_helper KILL 2> /dev/null; }
step_cleaned() {
  run_to_end --cleanup
  assert_eq "0 INFO: lockdown block kept; traffic stays blocked until a start with --kill-switch or --unblock|CLEANED|$STOPPED" \
    "$STATUS $(tail -n 2 <<< "$OUT" | paste -sd'|')|$(testbed_snapshot)" \
    "--cleanup wakes the block, says so, and leaves it alone as the stop did"
}
step_failed() {
  : > "$LVH_ENGINE_REFUSE_FILE"
  run_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch
  rm "$LVH_ENGINE_REFUSE_FILE"
  assert_eq "2 ERROR: $REFUSED; traffic stays blocked (lockdown) until a start with --kill-switch or --unblock|$STOPPED" \
    "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")|$(testbed_snapshot)" "a failed start under the block says so and leaves the block"
}
step_reconnected() {
  start --kill-switch
  ready_through reconnected
}
# The client names a TUN device the kill switch refuses: the takeover of
# the killed run's kill switch fails, and the block it left dormant judges
# before that kill switch goes (the rest of the killed run waits for the
# next start or --cleanup).
step_takeover_failed() {
  routed_write_config "$CONFIG" 'bad;tun'
  run_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch
  routed_write_config "$CONFIG" zelmo_vpn-tun0
  assert_eq "2 ERROR: invalid TUN interface name for kill switch; $KEPT_TEXT" \
    "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "a takeover that fails after a kill says the block stays"
}
step_no_tunnel() {
  : > "$LVH_ENGINE_REFUSE_FILE"
  kill -HUP "$HELPER_PID"
  wait_for_line "ERROR: switch failed, no tunnel until the next switch: $REFUSED" || fail "the switch is refused"
  rm "$LVH_ENGINE_REFUSE_FILE"
  wait_until 5 test "$(block)" = judging
  put_back judging
}
step_stopped_again() {
  stop_helper
  assert_eq "0 $KEPT|STOPPED" "$HELPER_STATUS $(last_lines 2)" "a run that took the block over leaves it again"
}
step_unblocked() {
  run_to_end --unblock
  assert_eq "0 UNBLOCKED|$BEFORE" "$STATUS $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" "--unblock: the host as before"
}
step_failed_clean_host() {
  : > "$LVH_ENGINE_REFUSE_FILE"
  run_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch --lockdown
  rm "$LVH_ENGINE_REFUSE_FILE"
  assert_eq "2 ERROR: $REFUSED; traffic stays blocked (lockdown) until a start with --kill-switch or --unblock" \
    "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "a --lockdown start that fails on a host without a block"
  outside_reset  # the host was open until then
}
step_cancelled_clean_host() {
  local events="$TESTBED_TMP/events"
  : > "$events"
  LVH_ENGINE_RUN_GATE="$TESTBED_TMP/gate" LVH_ENGINE_EVENT_LOG="$events" \
    start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --kill-switch --lockdown
  wait_for_file_line "$events" run || fail "the engine's start holds"
  kill -TERM "$HELPER_PID"
  : > "$TESTBED_TMP/gate"
  wait "$HELPER_PID"
  assert_eq 143 "$?" "a --lockdown start cancelled during the engine's start ends by the signal"
  outside_reset
}

# step | outside the tunnel | upkeep | the block
STEPS="
refused | counted | ack ack6 1 | absent
lockdown | 0/0/0/0 | - | dormant
stopped | 0/0/0/0 | ack ack6 1 | judging
taken_over | 0/0/0/0 | - | dormant
killed | 0/0/0/0 | ack ack6 1 | dormant
cleaned | 0/0/0/0 | ack ack6 1 | judging
failed | 0/0/0/0 | ack ack6 1 | judging
reconnected | 0/0/0/0 | - | dormant
killed | 0/0/0/0 | - | dormant
takeover_failed | 0/0/0/0 | ack ack6 1 | judging
reconnected | 0/0/0/0 | - | dormant
no_tunnel | 0/0/0/0 | ack ack6 1 | judging
stopped_again | 0/0/0/0 | - | judging
unblocked | counted | ack ack6 1 | absent
failed_clean_host | 0/0/0/0 | ack ack6 1 | judging
unblocked | counted | - | absent
cancelled_clean_host | 0/0/0/0 | ack ack6 1 | judging
unblocked | counted | - | absent
"
while IFS='|' read -r step outside upkeep state; do
  step=$(echo $step)
  [ -n "$step" ] || continue
  outside_reset
  "step_$step"
  sleep 1.5
  assert_eq "$(echo $outside)" "$(stream_counted "$(outside_counts)")" "$step: outside the tunnel"
  [ "$(echo $upkeep)" = - ] || assert_eq "$(echo $upkeep)" "$(ks_upkeep)" "$step: the upkeep is answered"
  assert_eq "$(echo $state)" "$(block)" "$step: the block"
done <<< "$STEPS"
stream_stop > /dev/null
testbed_finish
