#!/bin/bash
# Crash recovery: a full run (kill switch, bypass prefixes, IPv6, an app
# routing policy with a running member) is killed with SIGKILL right after
# each state-changing command of its start sequence in turn, and once while
# READY. After each kill "--cleanup" must bring the host back to the snapshot
# taken before the run. The one allowed difference is the IPv6 endpoint
# route via the IPv6 gateway: it carries no marker the cleanup can recognise.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
full_run_setup
APP_PID=$FULL_APP_PID
ALLOWED_LEFTOVER="2001:db8:5::7 via $GW_IP6 dev eth0 metric 3 pref medium"

BEFORE=$(testbed_snapshot)

# recover_and_compare WHAT: runs the cleanup mode, compares the host with the
# snapshot, then removes the allowed leftover so the next kill starts clean.
recover_and_compare() {
  local what=$1 differences
  LVH_RECORD_FILE= run_helper --cleanup
  if [ "$HELPER_STATUS" != 0 ] || [ "$(tail -n 1 "$HELPER_OUT")" != CLEANED ]; then
    fail "$what: cleanup did not end with CLEANED and exit 0"
    return 1
  fi
  differences=$(diff <(echo "$BEFORE") <(testbed_snapshot) | grep '^[<>]')
  if [ -n "$differences" ] && [ "$differences" != "> $ALLOWED_LEFTOVER" ]; then
    fail "$what: host differs from the snapshot after cleanup"
    sed 's/^/    /' <<< "$differences"
    ip -6 route del 2001:db8:5::7/128 via "$GW_IP6" dev eth0 2>/dev/null
    return 1
  fi
  ip -6 route del 2001:db8:5::7/128 via "$GW_IP6" dev eth0 2>/dev/null
  if [ "$(grep '^0::' /proc/$APP_PID/cgroup)" != "0::/" ]; then
    fail "$what: the app's process was not handed back"
    return 1
  fi
  return 0
}

# --- The start sequence, recorded up to READY, then killed there.
START_RECORD="$TESTBED_TMP/start.record"
if ! full_run_record_start "$START_RECORD"; then
  fail "full run reaches READY"
  testbed_finish
fi
assert_contains "$(ip -6 route show)" "$ALLOWED_LEFTOVER" "the run installs the IPv6 endpoint route"
assert_contains "$(ip -4 route show)" "172.16.5.0/24 via $GW_IP4 dev eth0 metric 3" "the run installs bypass routes"
assert_eq "0::/zelmo-vpn-app-routing" "$(grep '^0::' /proc/$APP_PID/cgroup)" "the app runs in the group"
stop_helper KILL
tried=1
passed=0
recover_and_compare "killed while READY" && passed=$((passed + 1))

mapfile -t KILL_POINTS < <(start_sequence_kill_points "$START_RECORD")
assert_at_least 1 "${#KILL_POINTS[@]}" "the start sequence has kill points"

for point in "${KILL_POINTS[@]}"; do
  tried=$((tried + 1))
  command=$(sed -n "${point}p" "$START_RECORD")
  record="$TESTBED_TMP/kill.$point.record"
  : > "$record"
  LVH_RECORD_FILE="$record" LVH_STOP_AFTER_COMMANDS="$point" start_helper "${FULL_RUN_ARGS[@]}"
  wait "$HELPER_PID"
  status=$?
  # The run must have died by SIGKILL exactly after the intended command.
  if [ "$status" != 137 ] || [ "$(wc -l < "$record")" != "$point" ] ||
    [ "$(tail -n 1 "$record")" != "$command" ]; then
    fail "kill after command $point (${command#system: }): run did not die there (status $status)"
    recover_and_compare "after command $point" > /dev/null
    continue
  fi
  recover_and_compare "kill after command $point (${command#system: })" && passed=$((passed + 1))
done

# vpnOnlySelected has pieces of its own (source NAT and connection marks on
# the TUN device, the tunnel-only tables, the guard in both families):
# killed while READY, and right after each command that builds the guard,
# the cleanup removes them as well.
VPN_ONLY_ARGS=("${FULL_RUN_ARGS[@]/bypassSelected/vpnOnlySelected}")
VPN_ONLY_RECORD="$TESTBED_TMP/vpn-only.record"
: > "$VPN_ONLY_RECORD"
LVH_RECORD_FILE="$VPN_ONLY_RECORD" start_helper "${VPN_ONLY_ARGS[@]}"
tried=$((tried + 1))
if wait_for_line READY; then
  assert_contains "$(iptables -t nat -S POSTROUTING)" "-o qtun0 -m mark --mark 0x66" \
    "vpnOnlySelected: source NAT on the TUN device"
  assert_contains "$(iptables -t mangle -S POSTROUTING; ip6tables -t mangle -S POSTROUTING)" \
    "-j ZELMO_APP_GUARD" "vpnOnlySelected: the guard is hooked"
  stop_helper KILL
  recover_and_compare "vpnOnlySelected, killed while READY" && passed=$((passed + 1))
else
  fail "vpnOnlySelected run reaches READY"
fi
mapfile -t GUARD_POINTS < <(start_sequence_kill_points "$VPN_ONLY_RECORD" | while read -r n; do
  sed -n "${n}p" "$VPN_ONLY_RECORD" | grep -q ZELMO_APP_GUARD && echo "$n"; done)
assert_at_least 10 "${#GUARD_POINTS[@]}" "vpnOnlySelected: the guard commands to kill after"
for point in "${GUARD_POINTS[@]}"; do
  tried=$((tried + 1))
  LVH_RECORD_FILE="$TESTBED_TMP/vpn-only.$point.record" LVH_STOP_AFTER_COMMANDS="$point" \
    start_helper "${VPN_ONLY_ARGS[@]}"
  wait "$HELPER_PID"
  recover_and_compare "vpnOnlySelected, kill after command $point" && passed=$((passed + 1))
done

echo "kill points: tried $tried, passed $passed"
assert_eq "$tried" "$passed" "every kill point recovered"

kill "$APP_PID"
wait "$APP_PID" 2>/dev/null
testbed_finish
