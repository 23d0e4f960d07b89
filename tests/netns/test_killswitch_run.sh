#!/bin/bash
# The kill switch in the run mode: the INFO line, removal at teardown, and a
# failing kill switch that unwinds everything the run had installed, in the
# order monitor, kill switch, app routing, tunnel routes, engine, library.
# The guard's table beside the chain: there while READY, gone after; a
# failing nft unwinds the run like a failing chain; without nft the chain
# stands alone and one INFO line says what that leaves uncovered.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup --ipv6

CONFIG=$(ks_write_config qtun0 203.0.113.7)
# The monitor scans every process of the machine: a name of this test's own
# keeps it from moving the processes of tests running beside it.
APP_NAME="ksrun$$"
POLICY='{"enabled":true,"mode":"bypassSelected","apps":["'"$APP_NAME"'"]}'
cp "$(command -v sleep)" "$TESTBED_TMP/$APP_NAME"
"$TESTBED_TMP/$APP_NAME" infinity &
APP_PID=$!
BEFORE=$(testbed_snapshot)

# --- A full run: the chain is in place while READY and gone after STOPPED.
start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
  --bypass-prefixes 10.20.0.0/16 --kill-switch
wait_for_line READY && pass "run with kill switch reaches READY" || fail "READY"
assert_contains "$(cat "$HELPER_OUT")" \
  "INFO: Linux Kill Switch active; loopback, qtun0, VPN endpoint, and configured bypass routes are allowed" \
  "kill switch INFO line"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "IPv4 chain hooked while READY"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks ip6tables)" "IPv6 chain hooked (host has an IPv6 default route)"
assert_contains "$(nft list table inet "$KS_GUARD" 2>&1)" 'oifname "eth0" jump postrouting-uplink' \
  "the guard judges what leaves through the uplink"
stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "run stops with STOPPED"
assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" "teardown removes both chains"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before the run"

# --- The kill switch fails: everything is unwound in order.
# Commands and engine events go to one log, so their order is visible.
LOG="$TESTBED_TMP/unwind.log"
FAILING="iptables -A ZELMO_KILLSWITCH -j REJECT"
LVH_RECORD_FILE="$LOG" LVH_ENGINE_EVENT_LOG="$LOG" LVH_FAIL_COMMAND="$FAILING" \
  run_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
  --bypass-prefixes 10.20.0.0/16 --kill-switch --app-routing-policy "$POLICY"
assert_eq "2" "$HELPER_STATUS" "kill switch failure exits 2"
assert_eq "ERROR: kill switch command failed: $FAILING" "$(tail -n 1 "$HELPER_OUT")" \
  "one ERROR line naming the failed command ends the output"
assert_eq "1" "$(grep -c '^ERROR: ' "$HELPER_OUT")" "exactly one ERROR line"
assert_contains "$(cat "$HELPER_OUT")" "INFO: app routing mode=bypassSelected apps=$APP_NAME" \
  "app routing (and its monitor) was running when the kill switch failed"
assert_not_contains "$(cat "$HELPER_OUT")" "READY" "no READY"

# line_of TEXT: first line number in the log after the failure with TEXT.
fail_line=$(grep -nxF "system: $FAILING" "$LOG" | head -n 1 | cut -d: -f1)
line_of() {
  awk -v start="$fail_line" -v text="$1" 'NR > start && $0 == text { print NR; exit }' "$LOG"
}
steps=(
  "system: iptables -D OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1"
  "system: ip6tables -X ZELMO_KILLSWITCH >/dev/null 2>&1"
  "popen: iptables -t mangle -S OUTPUT 2>/dev/null"
  "system: rmdir /sys/fs/cgroup/zelmo-vpn >/dev/null 2>&1"
  "system: ip route del 0.0.0.0/1 dev qtun0 metric 5"
  "system: ip route del 10.20.0.0/16 via $GW_IP4 dev eth0 metric 3 >/dev/null 2>&1"
  "stop"
  "unloaded"
)
previous=$fail_line
order_ok=1
for step in "${steps[@]}"; do
  line=$(line_of "$step")
  if [ -z "$line" ] || [ "$line" -le "$previous" ]; then
    order_ok=0
    echo "    out of order or missing: $step"
  else
    previous=$line
  fi
done
[ -n "$fail_line" ] && [ "$order_ok" = 1 ] &&
  pass "unwinding order: kill switch, app routing, tunnel routes, engine stop, unload" ||
  fail "unwinding order"
assert_eq "unloaded" "$(tail -n 1 "$LOG")" "nothing runs after the library is unloaded"
assert_not_contains "$(tail -n +"$fail_line" "$LOG")" "fwmark 0x1" "no ICMP bypass after the failure"
assert_eq "0::/" "$(grep '^0::' /proc/$APP_PID/cgroup)" "the app's process is handed back"
assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" "no chain after the failure"
assert_eq "$BEFORE" "$(testbed_snapshot)" "rule sets, routes and cgroups as before the run"

# --- The guard fails (an nft that refuses everything), or nft is missing.
PATH=$(ks_path_without_nft 1) run_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP" --kill-switch
assert_eq "2|ERROR: kill switch command failed: printf" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT" | cut -c1-41)" \
  "a failing guard ends the run with one ERROR line naming its command"
assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" "no chain after the guard failed"
assert_eq "$BEFORE" "$(testbed_snapshot)" "the run unwound after the guard failed"
PATH=$(ks_path_without_nft) start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP" --kill-switch
wait_for_line READY && pass "without nft the run reaches READY" || fail "READY without nft"
assert_contains "$(cat "$HELPER_OUT")" "INFO: kill switch guard not installed (nft not found): forwarded traffic is not blocked" \
  "without nft one INFO line says what is not covered"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "without nft the chain stands"
stop_helper
assert_eq "0|STOPPED|$BEFORE" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")|$(testbed_snapshot)" \
  "without nft the run stops and leaves the host as before"

kill "$APP_PID"
wait "$APP_PID" 2>/dev/null
testbed_finish
