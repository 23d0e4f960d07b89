#!/bin/bash
# The run mode with an app-routing policy, in both modes: the INFO lines,
# split routes only in "bypassSelected", the table, rule and mark rule while
# READY, a process of a selected program started after READY moved in by
# the monitor (here, with no process events, by its pass), and after STOPPED
# the members handed back and the host exactly as before the run. Then a
# run whose mark rule cannot be installed, a prompt teardown, and members
# handed back to the scopes they came from.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_approuting.sh"
source "$(dirname "$0")/lib_monitor.sh"
testbed_enter "$@"
ar_setup_engine

EARLY=$(ar_unique_name early)
LATE=$(ar_unique_name late)
OTHER=$(ar_unique_name other)
for app in "$EARLY" "$LATE" "$OTHER"; do ar_make_app "$app"; done
ar_start_app "$OTHER"; OTHER_PID=$AR_PID
BEFORE=$(testbed_snapshot)

# run_with_policy MODE: one run from start to STOPPED with EARLY running
# before it and LATE started while READY.
run_with_policy() {
  local mode=$1 lines
  ar_start_app "$EARLY"; EARLY_PID=$AR_PID
  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
    --app-routing-policy "$(ar_policy "$mode" "$EARLY" "$LATE")"
  wait_for_line READY && pass "$mode: READY" || fail "$mode: READY"
  lines=$(grep -v '^INFO: helper pid=' "$HELPER_OUT")
  if [ "$mode" = vpnOnlySelected ]; then
    assert_contains "$lines" \
      "INFO: app routing mode=vpnOnlySelected; global full-tunnel routes are not installed" "$mode: line 18"
    assert_eq "" "$(ip route show | grep -E '^(0\.0\.0\.0|128\.0\.0\.0)/1 ')" "$mode: no split routes"
    assert_eq "default dev artun0 scope link
$AR_FALLBACK" "$(ar_table 1067)" "$mode: table 1067 via the TUN device"
    assert_eq "1066:	from all fwmark 0x66 lookup 1067" "$(ar_app_rules)" "$mode: rule"
    assert_eq "1/1" "$(ar_guards)" "$mode: the guard in both families"
  else
    assert_not_contains "$lines" "global full-tunnel routes" "$mode: no line 18"
    assert_contains "$(ip route show)" "0.0.0.0/1 dev artun0" "$mode: split routes"
    assert_eq "default via $GW_IP4 dev eth0
$AR_FALLBACK" "$(ar_table 1066)" "$mode: table 1066 via the physical route"
    assert_eq "1066:	from all fwmark 0x66 lookup 1066" "$(ar_app_rules)" "$mode: rule"
  fi
  # Line 19 comes after the policy is in force and before the address lines.
  assert_eq "INFO: app routing mode=$mode apps=$EARLY,$LATE" \
    "$(grep -B1 -m1 '^INFO: ip addr ' <<< "$lines" | head -1)" "$mode: line 19 in its place"
  assert_eq "-A OUTPUT -m cgroup --path $GROUP_NAME -j MARK --set-xmark 0x66/0xffffffff" \
    "$(ar_mark_rules)" "$mode: one mark rule"
  assert_eq "/$GROUP_NAME" "$(ar_cgroup_of "$EARLY_PID")" "$mode: a running process is moved by the apply"

  ar_start_app "$LATE"; LATE_PID=$AR_PID
  ar_wait_cgroup "$LATE_PID" "/$GROUP_NAME" && pass "$mode: a process started after READY is moved" ||
    fail "$mode: a process started after READY is moved"
  assert_eq "/" "$(ar_cgroup_of "$OTHER_PID")" "$mode: an unselected process stays"

  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -1 "$HELPER_OUT")" "$mode: STOPPED"
  assert_eq "/ /" "$(ar_cgroup_of "$EARLY_PID") $(ar_cgroup_of "$LATE_PID")" "$mode: members handed back"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$mode: host as before the run"
  kill "$EARLY_PID" "$LATE_PID"
}

run_with_policy bypassSelected
run_with_policy vpnOnlySelected

# --- The mark rule cannot be installed: the run ends before READY with
# everything undone, what the apply made before the failure (group, tables,
# rules, the other family's pieces) included.
MARK_ADD="iptables -t mangle -A OUTPUT -m cgroup --path $GROUP_NAME -j MARK --set-mark 0x66"
LVH_RECORD_FILE="$TESTBED_TMP/record" LVH_FAIL_COMMAND="$MARK_ADD" run_helper --lib "$LVH_ENGINE" \
  --config "$CONFIG" --dat-dir "$TESTBED_TMP" --app-routing-policy "$(ar_policy bypassSelected "$EARLY")"
assert_eq "2 ERROR: failed to install cgroup fwmark rule" "$HELPER_STATUS $(tail -1 "$HELPER_OUT")" \
  "mark rule failure: one ERROR line, exit 2"
assert_eq "$BEFORE" "$(testbed_snapshot)" "mark rule failure: host as before the run"

# --- Every piece a tunnel-only program relies on to stay in the tunnel
# fails the start when it cannot be installed, and the run undoes it all.
for failing in "ip -6 rule add fwmark 0x66 lookup 1067 priority 1066 >/dev/null 2>&1" \
  "ip route replace unreachable default metric 4096 table 1067" \
  "ip6tables -t mangle -A ZELMO_APP_GUARD -j DROP"; do
  LVH_RECORD_FILE="$TESTBED_TMP/record" LVH_FAIL_COMMAND="$failing" run_helper --lib "$LVH_ENGINE" \
    --config "$CONFIG" --dat-dir "$TESTBED_TMP" --app-routing-policy "$(ar_policy vpnOnlySelected "$EARLY")"
  assert_eq "2 ERROR: app routing command failed: $failing" "$HELPER_STATUS $(tail -1 "$HELPER_OUT")" \
    "vpnOnlySelected, $failing fails: one ERROR line, exit 2"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "vpnOnlySelected, $failing fails: host as before the run"
done

# --- Teardown with a policy is prompt: SIGTERM right at READY, when the
# monitor has just made its first pass and waits for its next one; the
# teardown's first command follows at once, not after that wait.
RECORD="$TESTBED_TMP/prompt.record"
LVH_RECORD_FILE="$RECORD" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP" --app-routing-policy "$(ar_policy bypassSelected "$EARLY")"
wait_for_line READY
AT_READY=$(wc -l < "$RECORD")
SIGNALLED=$EPOCHREALTIME
kill -TERM "$HELPER_PID"
for try in $(seq 400); do
  [ "$(wc -l < "$RECORD")" -gt "$AT_READY" ] && break
  sleep 0.005
done
WAITED_MS=$(awk -v a="$SIGNALLED" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
wait "$HELPER_PID"
[ "$WAITED_MS" -lt 250 ] && pass "prompt teardown: first command ${WAITED_MS} ms after SIGTERM" ||
  fail "prompt teardown: first command ${WAITED_MS} ms after SIGTERM"

# --- Members go back where they came from. The helper runs as a service;
# a program started in a scope of its own returns to that scope, whether
# the first pass or the monitor moved it, and so does a child it forked
# inside the group; one whose scope is gone by then goes to the group's
# parent, the service.
monitor_write_app
SCOPED=$(ar_unique_name scoped)
GONE=$(ar_unique_name gone)
LATER=$(ar_unique_name later)
monitor_start_app scoped.scope "$SCOPED"; SCOPED_PID=$AR_PID
monitor_start_app gone.scope "$GONE"; GONE_PID=$AR_PID
mkdir "$CG/vpn.service"
echo $$ > "$CG/vpn.service/cgroup.procs"
start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
  --app-routing-policy "$(ar_policy vpnOnlySelected "$SCOPED" "$GONE" "$LATER")"
echo $$ > "$CG/cgroup.procs"
wait_for_line READY
GROUP=/vpn.service/$GROUP_NAME
assert_eq "$GROUP $GROUP" "$(ar_cgroup_of "$SCOPED_PID") $(ar_cgroup_of "$GONE_PID")" "origins: moved at the start"
monitor_start_app later.scope "$LATER"; LATER_PID=$AR_PID
ar_wait_cgroup "$LATER_PID" "$GROUP" && pass "origins: moved by the monitor" || fail "origins: moved by the monitor"
kill -USR1 "$SCOPED_PID"
ar_wait_at_least 1 sh -c "wc -w < /proc/$SCOPED_PID/task/$SCOPED_PID/children"
CHILD_PID=$(awk '{ print $1 }' "/proc/$SCOPED_PID/task/$SCOPED_PID/children")
rmdir "$CG/gone.scope"
stop_helper
assert_eq "/scoped.scope /scoped.scope /later.scope /vpn.service" \
  "$(ar_cgroup_of "$SCOPED_PID") $(ar_cgroup_of "$CHILD_PID") $(ar_cgroup_of "$LATER_PID") $(ar_cgroup_of "$GONE_PID")" \
  "origins: handed back to their scopes, or to the parent where the scope is gone"
kill "$SCOPED_PID" "$CHILD_PID" "$GONE_PID" "$LATER_PID"
wait "$SCOPED_PID" "$GONE_PID" "$LATER_PID" 2>/dev/null
ar_remove_cgroups scoped.scope later.scope vpn.service
assert_eq "$BEFORE" "$(testbed_snapshot)" "origins: host as before the run"

kill "$OTHER_PID"
ar_assert_no_cgroups
testbed_finish
