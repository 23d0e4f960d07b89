#!/bin/bash
# Ctrl-C pressed again and again at a terminal: the helper leads its own
# process group, as in a shell's foreground job, and SIGINT goes to that
# whole group, several times while the kill switch and the ICMP bypass are
# being taken down. The tools it runs sit in groups of their own, so none
# is killed halfway: the run ends with STOPPED and the host as before.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_setup --ipv6
testbed_hosts "203.0.113.7 vpn.test"
CONFIG="$TESTBED_TMP/config.json"
write_engine_config "$CONFIG" qtun0 vpn.test
BEFORE=$(testbed_snapshot)

for round in 1 2 3; do
  HELPER_OUT="$TESTBED_TMP/interrupts.$round.out"
  # Not a group leader as a job of this script, setsid makes the helper one
  # without a fork; env gives it the SIGINT a job of a script lacks.
  setsid env --default-signal=INT "$LVH_HELPER" --lib "$LVH_ENGINE" --config "$CONFIG" \
    --bypass-prefixes 10.20.0.0/16 --kill-switch > "$HELPER_OUT" 2>&1 &
  HELPER_PID=$!
  wait_for_line READY || { fail "round $round: READY"; cat "$HELPER_OUT"; break; }
  assert_eq "$HELPER_PID" "$(cut -d' ' -f5 "/proc/$HELPER_PID/stat")" "round $round: the helper leads its group"
  sent=0
  for tries in $(seq 500); do
    kill -INT -- "-$HELPER_PID" 2>/dev/null || break
    sent=$((sent + 1))
    sleep 0.01
  done
  wait "$HELPER_PID"
  HELPER_STATUS=$?
  assert_at_least 3 "$sent" "round $round: SIGINT reached the group again during teardown"
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "round $round: STOPPED, exit 0"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "round $round: host as before"
done
testbed_finish
