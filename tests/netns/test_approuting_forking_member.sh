#!/bin/bash
# A selected program that forks short-lived children without pause:
# children it forks while it is handed back land in the group after the
# membership file was read. Teardown, the remove mode and the cleanup mode
# hand back in rounds until the group is empty, and remove it, run after
# run, with no word of a group left.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_approuting.sh"
testbed_enter "$@"
ar_setup_engine

FORKER=$(ar_unique_name forker)
ar_make_app "$FORKER" dash
FORKER_PIDS=()
# Children that live a little longer than a hand-back takes are the ones a
# single reading of the membership file misses.
for i in 1 2 3; do
  "$AR_BIN/$FORKER" -c 'while :; do sleep 0.01; done' &
  FORKER_PIDS+=($!)
done
POLICY=$(ar_policy bypassSelected "$FORKER")
BEFORE=$(testbed_snapshot)

for round in 1 2 3 4; do
  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --app-routing-policy "$POLICY"
  wait_for_line READY || fail "run $round: READY"
  for pid in "${FORKER_PIDS[@]}"; do ar_wait_cgroup "$pid" "/$GROUP_NAME" || fail "run $round: moved in"; done
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "run $round: STOPPED"
  assert_not_contains "$(cat "$HELPER_ERR")" "app routing cgroup" "run $round: no word of a group left"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "run $round: no group left, host as before"
done

ip tuntap add dev artun0 mode tun
ip link set artun0 up
BEFORE=$(testbed_snapshot)
for mode in --remove-app-bypass-policy --cleanup --remove-app-bypass-policy --cleanup; do
  run_to_end --apply-app-bypass-policy "$POLICY" --tun artun0
  for pid in "${FORKER_PIDS[@]}"; do ar_wait_cgroup "$pid" "/$GROUP_NAME" || fail "$mode: moved in"; done
  run_to_end "$mode"
  assert_eq "0 " "$STATUS $ERR" "$mode: done, nothing on standard error"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$mode: no group left, host as before"
done
kill "${FORKER_PIDS[@]}"
testbed_finish
