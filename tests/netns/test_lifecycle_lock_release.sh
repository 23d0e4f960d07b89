#!/bin/bash
# The helper lock ends with the helper. A worker the engine forked without
# exec keeps running but not the lock: the next start after STOPPED is
# accepted, and after a SIGKILL with the kill switch on "--cleanup" brings the
# host back. A lock held by something that is not a running helper is waited
# for briefly: taken once it lets go, else refused naming it. A helper killed
# at random moments while it starts its commands never leaves the cleanup
# refused.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_setup
CONFIG="$TESTBED_TMP/engine.json"
write_engine_config "$CONFIG" qtun0 203.0.113.7
RUN_ARGS=(--lib "$LVH_ENGINE" --config "$CONFIG" --bypass-prefixes 10.20.0.0/16 --kill-switch)
WORKER_PID_FILE="$TESTBED_TMP/worker.pid"
BEFORE=$(testbed_snapshot)

# Scenarios: how the run with a forking engine ends, and what must work next.
stop_then_start() {
  stop_helper TERM
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$1: STOPPED"
  start_helper "${RUN_ARGS[@]}"
  wait_for_line READY && pass "$1: the next start reaches READY" ||
    fail "$1: the next start reaches READY ($(tail -n 1 "$HELPER_OUT"))"
  stop_helper TERM
}
kill_then_cleanup() {
  { stop_helper KILL; } 2>/dev/null
  run_to_end --cleanup
  assert_eq "0 CLEANED" "$STATUS $(tail -n 1 <<< "$OUT")" "$1: the cleanup runs"
}
for scenario in stop_then_start kill_then_cleanup; do
  what="worker forked without exec, $scenario"
  LVH_ENGINE_FORK_WORKER=1 LVH_ENGINE_WORKER_PID_FILE="$WORKER_PID_FILE" start_helper "${RUN_ARGS[@]}"
  wait_for_line READY || fail "$what: READY"
  "$scenario" "$what"
  worker=$(cat "$WORKER_PID_FILE")
  kill -0 "$worker" 2>/dev/null && pass "$what: the worker still runs" || fail "$what: the worker still runs"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$what: host as before"
  kill -KILL "$worker"
done

# A lock held by a process that is not a helper (a TUN device of the lock's
# name held by the tunnel server): taken once the holder lets go within the
# wait, refused naming the holder when it never does.
hold_lock_device || fail "the holder took the lock device"
run_to_end --cleanup
assert_eq "2 ERROR: another linux_vpn_helper is running (pid $HOLDER_PID tunnel_server)" \
  "$STATUS $(tail -n 1 <<< "$OUT")" "a holder that stays: refused, naming it"
( sleep 0.5; kill "$HOLDER_PID" ) &
run_to_end --cleanup
assert_eq "0 CLEANED" "$STATUS $(tail -n 1 <<< "$OUT")" "a holder that lets go within the wait: the cleanup runs"
wait "$HOLDER_PID"

# The orphaned shell: a helper killed at a random moment of its start may
# leave a shell between its start and its exec with the lock for a moment.
start_ms=$(date +%s%3N)
start_helper "${RUN_ARGS[@]}"
wait_for_line READY || fail "a plain run reaches READY"
start_ms=$(($(date +%s%3N) - start_ms))
stop_helper TERM
refused=0
for round in $(seq 60); do
  start_helper "${RUN_ARGS[@]}"
  sleep "$((RANDOM % start_ms / 1000)).$(printf '%03d' $((RANDOM % start_ms % 1000)))"
  { stop_helper KILL; } 2>/dev/null
  run_to_end --cleanup
  [ "$STATUS $(tail -n 1 <<< "$OUT")" = "0 CLEANED" ] || {
    refused=$((refused + 1))
    echo "    round $round: $STATUS $(tail -n 1 <<< "$OUT")"
  }
done
assert_eq 0 "$refused" "60 helpers killed while starting: every cleanup right after runs"
testbed_finish
