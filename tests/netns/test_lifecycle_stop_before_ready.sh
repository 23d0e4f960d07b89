#!/bin/bash
# A stop before READY: the full run (kill switch, bypass prefixes, IPv6, an
# app routing policy with a running member) gets SIGTERM right after each
# state-changing command of its start sequence in turn, as from a client
# cancelling a slow connect. The step in progress finishes, and then the
# helper itself leaves the host as it found it (no --cleanup), hands the
# application back, prints neither READY nor ERROR and dies by SIGTERM.
# Then SIGINT at one point, and a client that closes its end of the status
# pipe before READY (death by SIGPIPE, nothing left).
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
full_run_setup
BEFORE=$(testbed_snapshot)

# expect_undone WHAT SIGNAL: the run has ended by SIGNAL, the host as before.
expect_undone() {
  assert_eq "$((128 + $(kill -l "$2")))" "$HELPER_STATUS" "$1: ended by SIG$2"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$1: host as before, without --cleanup"
  assert_eq "0::/" "$(grep '^0::' "/proc/$FULL_APP_PID/cgroup")" "$1: the application handed back"
}

# signal_after POINT SIGNAL: a full run that sends itself SIGNAL right after
# its POINTth command and prints neither READY nor ERROR; RECORD holds what
# it ran.
signal_after() {
  RECORD="$TESTBED_TMP/signal.$1.$2.record"
  : > "$RECORD"
  LVH_RECORD_FILE="$RECORD" LVH_SIGNAL_AFTER_COMMANDS="$1" LVH_SIGNAL_NAME="$2" \
    start_helper "${FULL_RUN_ARGS[@]}"
  wait_for_exit || fail "SIG$2 after command $1: the helper went on running"
  assert_eq "" "$(grep -E '^(READY|ERROR: )' "$HELPER_OUT")" "SIG$2 after command $1: no READY and no ERROR line"
}

# line_of RECORD PATTERN: the number of RECORD's first line matching PATTERN.
line_of() { grep -n -m1 -E -- "$2" "$1" | cut -d: -f1; }

# --- the start sequence, recorded up to READY; this run is stopped as usual
START_RECORD="$TESTBED_TMP/start.record"
if ! full_run_record_start "$START_RECORD"; then
  fail "full run reaches READY"
  testbed_finish
fi
mapfile -t KILL_POINTS < <(start_sequence_kill_points "$START_RECORD")
# Two later steps, by their first command and one install command: a stop
# before such a step never runs it.
LATER_STEPS=("ZELMO_KILLSWITCH|^system: iptables -N ZELMO_KILLSWITCH$"
  "^popen: ip route show table 100 |^system: ip rule add fwmark 0x1 ")
stop_helper TERM
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "a run stopped after READY ends with STOPPED"
assert_eq "$BEFORE" "$(testbed_snapshot)" "the run stopped after READY leaves the host as before"
for step in "${LATER_STEPS[@]}"; do
  first=$(line_of "$START_RECORD" "${step%%|*}")
  if [ -n "$first" ] && [ -n "$(line_of "$START_RECORD" "${step#*|}")" ]; then
    pass "the start sequence has the step of line $first"
  else
    fail "the start sequence lacks the step of ${step%%|*}"
  fi
done

# --- SIGTERM after each state-changing command
for point in "${KILL_POINTS[@]}"; do
  command=$(sed -n "${point}p" "$START_RECORD")
  signal_after "$point" TERM
  what="SIGTERM after command $point (${command#system: })"
  assert_eq "$command" "$(sed -n "${point}p" "$RECORD")" "$what: signalled after that command"
  for step in "${LATER_STEPS[@]}"; do
    [ "$point" -lt "$(line_of "$START_RECORD" "${step%%|*}")" ] || continue
    assert_eq "" "$(grep -E -- "${step#*|}" "$RECORD")" "$what: no later step (${step%%|*})"
  done
  expect_undone "$what" TERM
done

# --- SIGINT, in the middle of the sequence
point=${KILL_POINTS[$((${#KILL_POINTS[@]} / 2))]}
signal_after "$point" INT
expect_undone "SIGINT after command $point" INT

# --- the client closes its end of the status pipe while the engine starts:
# the next status line cannot be written
gate="$TESTBED_TMP/run-gate"
events="$TESTBED_TMP/pipe.events"
mkfifo "$TESTBED_TMP/status"
LVH_ENGINE_RUN_GATE="$gate" LVH_ENGINE_EVENT_LOG="$events" "$LVH_HELPER" "${FULL_RUN_ARGS[@]}" \
  > "$TESTBED_TMP/status" 2> "$TESTBED_TMP/pipe.err" &
HELPER_PID=$!
exec 3< "$TESTBED_TMP/status"
wait_for_file_line "$events" run
exec 3<&-
touch "$gate"
wait_for_exit || fail "status pipe closed before READY: the helper went on running"
expect_undone "status pipe closed before READY" PIPE
assert_eq "loaded run stop unloaded" "$(grep -v '^request ' "$events" | tr '\n' ' ' | sed 's/ $//')" \
  "status pipe closed before READY: engine stopped, then unloaded"

kill "$FULL_APP_PID"
wait "$FULL_APP_PID" 2>/dev/null
testbed_finish
