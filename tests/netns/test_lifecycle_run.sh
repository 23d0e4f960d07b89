#!/usr/bin/env bash
# Whole runs of the run mode on the stand-in engine: READY with every line
# in its place, the engine's device up while the helper runs, SIGTERM and
# SIGINT ending in STOPPED with exit 0, the engine stopped before the library
# is unloaded, the device gone and the host exactly as before. Signals
# before READY (the start is undone, then the signal ends the helper) and
# during the teardown are sent while the engine holds the helper inside
# CGoRunXray or CGoStopXray (see tools/test_engine/README.md).
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_enter "$@"
testbed_setup --ipv6

config="$TESTBED_TMP/config.json"
write_engine_config "$config" qtun0 198.51.100.7
before=$(testbed_snapshot)

# expect_stopped WHAT: the helper has ended after READY, cleanly.
expect_stopped() {
  assert_eq 0 "$HELPER_STATUS" "$1: exit status 0"
  assert_eq STOPPED "$(status_lines | tail -n 1)" "$1: STOPPED is the last line"
  assert_eq 1 "$(grep -cxF STOPPED "$HELPER_OUT")" "$1: STOPPED once"
  assert_eq "" "$(status_lines | grep '^ERROR: ')" "$1: no ERROR line"
  assert_eq "loaded
run
request
stop
unloaded" "$(engine_events)" "$1: engine started, stopped, unloaded"
  local unloaded stopped
  unloaded=$(grep -nx unloaded "$HELPER_OUT" | cut -d: -f1)
  stopped=$(grep -nx STOPPED "$HELPER_OUT" | cut -d: -f1)
  if [ -n "$unloaded" ] && [ -n "$stopped" ] && [ "$unloaded" -lt "$stopped" ]; then
    pass "$1: library unloaded before STOPPED"
  else
    fail "$1: library unloaded before STOPPED"
  fi
  if ip link show qtun0 > /dev/null 2>&1; then fail "$1: TUN device still there"; else pass "$1: TUN device gone"; fi
  assert_eq "$before" "$(testbed_snapshot)" "$1: host state as before"
}

# --- SIGTERM, with the kill switch and a bypass list
start_helper_with_events --lib "$LVH_ENGINE" --config "$config" --dat-dir /usr/share/zelmo \
  --bypass-prefixes 10.0.0.0/8 --kill-switch
if wait_for_line READY; then pass "READY"; else fail "no READY"; sed 's/^/    /' "$HELPER_OUT" "$HELPER_ERR"; fi

# Lines 21 and 22 span several physical lines, one per address of the
# device ("ip -o" output); the continuations are checked apart.
assert_eq "INFO: helper pid=$HELPER_PID
INFO: tun_name=qtun0
INFO: endpoint=198.51.100.7 bypass4=[198.51.100.7] bypass6=[]
INFO: configured bypass4=[10.0.0.0/8]
INFO: default4 via=$GW_IP4 dev=eth0
INFO: default6 via=$GW_IP6 dev=eth0
INFO: Linux Kill Switch active; loopback, qtun0, VPN endpoint, and configured bypass routes are allowed
INFO: ip addr
INFO: ip -6 addr
READY" "$(status_lines | grep -vE '^[0-9]+: qtun0 ' |
          sed -E 's/^(INFO: helper pid=[0-9]+) .*/\1/; s/^(INFO: ip (-6 )?addr) .*/\1/')" \
  "status lines in order"
assert_contains "$(status_lines | sed -n '/^INFO: ip -6 addr /,$p')" "qtun0    inet6 fe80::" \
  "line 22 goes on over the device's second IPv6 address"
assert_contains "$(grep '^INFO: ip addr ' "$HELPER_OUT")" "qtun0    inet 172.19.0.1/30" "line 21 shows the IPv4 address"
assert_contains "$(grep '^INFO: ip -6 addr ' "$HELPER_OUT")" "qtun0    inet6 fd00:66::1/64" "line 22 shows the IPv6 address"
assert_eq "loaded
run
request" "$(engine_events)" "engine running, not stopped"
assert_contains "$(ip -o link show qtun0)" "UP" "engine's device is up"
assert_contains "$(ip route show)" "0.0.0.0/1 dev qtun0" "the run installed its routes"
assert_contains "$(iptables -S OUTPUT)" "-A OUTPUT -j ZELMO_KILLSWITCH" "the run installed the kill switch"
stop_helper TERM
expect_stopped SIGTERM

# --- SIGINT, plain run
start_helper_with_events --lib "$LVH_ENGINE" --config "$config"
if wait_for_line READY; then pass "READY (plain)"; else fail "no READY (plain)"; sed 's/^/    /' "$HELPER_OUT" "$HELPER_ERR"; fi
assert_contains "$(ip -o link show qtun0)" "UP" "plain: engine's device is up"
stop_helper INT
expect_stopped SIGINT

# --- a signal before READY, while the engine holds the helper inside
# CGoRunXray: the start call finishes, the engine is stopped and unloaded,
# and the helper ends by that signal without an outcome line
for signal in TERM INT; do
  gate="$TESTBED_TMP/run-gate.$signal"
  LVH_ENGINE_RUN_GATE="$gate" start_helper_with_events --lib "$LVH_ENGINE" --config "$config" \
    --kill-switch
  if wait_for_file_line "$HELPER_OUT" run; then pass "SIG$signal early: helper inside CGoRunXray"; else fail "SIG$signal early: engine never started"; fi
  kill -"$signal" "$HELPER_PID"
  touch "$gate"
  wait "$HELPER_PID"
  HELPER_STATUS=$?
  assert_eq $((128 + $(kill -l "$signal"))) "$HELPER_STATUS" "SIG$signal early: ended by the signal"
  assert_eq "" "$(status_lines | grep -vE '^INFO: ')" "SIG$signal early: no outcome line"
  assert_eq "loaded
run
request
stop
unloaded" "$(engine_events)" "SIG$signal early: engine stopped, then unloaded"
  if ip link show qtun0 > /dev/null 2>&1; then fail "SIG$signal early: TUN device still there"; else pass "SIG$signal early: TUN device gone"; fi
  assert_eq "$before" "$(testbed_snapshot)" "SIG$signal early: host state as before"
done

# --- further signals during the teardown change nothing
gate="$TESTBED_TMP/stop-gate"
LVH_ENGINE_STOP_GATE="$gate" start_helper_with_events --lib "$LVH_ENGINE" --config "$config" \
  --kill-switch
if wait_for_line READY; then pass "READY (teardown signals)"; else fail "no READY (teardown signals)"; fi
kill -TERM "$HELPER_PID"
if wait_for_file_line "$HELPER_OUT" stop; then pass "teardown reached CGoStopXray"; else fail "teardown never reached CGoStopXray"; fi
kill -TERM "$HELPER_PID"
kill -INT "$HELPER_PID"
touch "$gate"
wait "$HELPER_PID"
HELPER_STATUS=$?
expect_stopped "signals during teardown"

testbed_finish
