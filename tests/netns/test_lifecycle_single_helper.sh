#!/bin/bash
# One helper per network namespace: while a full run is READY, every other
# privileged mode, a second run with another TUN device and one with the
# same configuration after the first's engine lost its device, is refused
# and changes nothing, so the first keeps its kill switch and its routes.
# The validate mode is unaffected. A refusal names the holder's pid and
# command. A SIGKILLed holder releases the lock.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
full_run_setup
POLICY='{"enabled":true,"mode":"bypassSelected","apps":["sleep"]}'
OTHER_CONFIG="$TESTBED_TMP/other.json"
write_engine_config "$OTHER_CONFIG" qtun7 vpn.test
BEFORE=$(testbed_snapshot)

start_helper "${FULL_RUN_ARGS[@]}"
wait_for_line READY || fail "the first helper reached READY"
FIRST_PID=$HELPER_PID
FIRST_COMMAND=$(cat "/proc/$FIRST_PID/comm")

# expect_refused WHAT ARGS...: the mode ends with the lock's error and
# exit 2, and the host is as the first helper made it.
expect_refused() {
  local what=$1 ready
  shift
  ready=$(testbed_snapshot)
  # Bounded: a second run that is not refused would wait for a signal.
  OUT=$(timeout -s KILL 30 "$LVH_HELPER" "$@" 2>/dev/null)
  STATUS=$?
  assert_eq "2 ERROR: another linux_vpn_helper is running (pid $FIRST_PID $FIRST_COMMAND)" \
    "$STATUS $(tail -n 1 <<< "$OUT")" "$what: refused, naming the holder's pid and command"
  assert_eq "$ready" "$(testbed_snapshot)" "$what: nothing changed"
}

expect_refused "run with another TUN device" --lib "$LVH_ENGINE" --config "$OTHER_CONFIG" --kill-switch
expect_refused "cleanup" --cleanup
expect_refused "apply" --apply-app-bypass-policy "$POLICY" --tun qtun0
expect_refused "remove" --remove-app-bypass-policy
ip link delete qtun0
expect_refused "same configuration, first engine's device gone" "${FULL_RUN_ARGS[@]}"
run_to_end --validate-app-bypass-policy "$POLICY"
assert_eq 0 "$STATUS" "validate runs beside a helper"
assert_eq "1 1" "$(iptables -S OUTPUT | grep -c -- '-j ZELMO_KILLSWITCH') $(ip6tables -S OUTPUT | grep -c -- '-j ZELMO_KILLSWITCH')" \
  "the first helper's kill switch still hooked in both families"

kill -KILL "$FIRST_PID"
wait "$FIRST_PID" 2>/dev/null
run_to_end --cleanup
assert_eq "0 CLEANED" "$STATUS $(tail -n 1 <<< "$OUT")" "a killed holder does not block the cleanup"
ip -6 route del 2001:db8:5::7/128 via "$GW_IP6" dev eth0 2>/dev/null  # no marker; see the crash sweep

start_helper "${FULL_RUN_ARGS[@]}"
wait_for_line READY && pass "a new run after the cleanup reaches READY" || fail "a new run after the cleanup reaches READY"
stop_helper TERM
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "the new run stops"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before, the lock device gone with its holder"
testbed_finish
