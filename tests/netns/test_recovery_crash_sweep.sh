#!/bin/bash
# Crash recovery: a full run (kill switch, bypass prefixes, IPv6, an app
# routing policy with a running member) is killed with SIGKILL right after
# each state-changing command of its start sequence in turn, and once while
# READY; then after each state-changing command of a switch of servers
# (SIGHUP after the client named a second server and TUN device), and once
# after it; after each command of a start that takes over a killed run
# and replaces or removes its pieces; after each state-changing command of
# a re-pin, when the default routes move to a second network while READY,
# and once after the move; and
# after each command of a restore of the kill switch while READY; and a
# --lockdown run killed around the command that makes its block.
# After each kill "--cleanup" must bring the host back to the snapshot taken
# before the run (after a move: of the moved network without the helper),
# the IPv6 endpoint route via either IPv6 gateway included. A link down and
# up within one burst has no kill points of its own: its look runs the two
# route batches the re-pin runs, putting routes back over the gateway they
# had, so a kill there leaves some of the start's pieces in place and others
# missing, as a kill inside the start sequence does.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
full_run_setup
# Kill points are counted in commands, so every run must see the same
# events: the TUN device's IPv6 address would otherwise finish its duplicate
# address detection a second or two after READY, an event that falls before
# or into the change under test depending on the machine's load.
sysctl -qw net.ipv6.conf.default.accept_dad=0
APP_PID=$FULL_APP_PID

BEFORE=$(testbed_snapshot)

# recover_and_compare WHAT [EXPECTED]: runs the cleanup mode and compares the
# host with the snapshot.
recover_and_compare() {
  local what=$1 expected=${2:-$BEFORE} differences
  LVH_RECORD_FILE= run_helper --cleanup
  if [ "$HELPER_STATUS" != 0 ] || [ "$(tail -n 1 "$HELPER_OUT")" != CLEANED ]; then
    fail "$what: cleanup did not end with CLEANED and exit 0"
    return 1
  fi
  differences=$(diff <(echo "$expected") <(testbed_snapshot) | grep '^[<>]')
  if [ -n "$differences" ]; then
    fail "$what: host differs from the snapshot after cleanup"
    sed 's/^/    /' <<< "$differences"
    return 1
  fi
  if [ "$(grep '^0::' /proc/$APP_PID/cgroup)" != "0::/" ]; then
    fail "$what: the app's process was not handed back"
    return 1
  fi
  return 0
}

# start_run_to_kill RECORD POINT TAG [ARGS...]: counts a try and starts the
# run (ARGS, the full run's by default) to die by SIGKILL right after the
# command numbered POINT in RECORD (now in $command); its own commands go
# to $record.
start_run_to_kill() {
  local source_record=$1 point=$2 tag=$3
  shift 3
  [ $# -gt 0 ] || set -- "${FULL_RUN_ARGS[@]}"
  tried=$((tried + 1))
  command=$(sed -n "${point}p" "$source_record")
  record="$TESTBED_TMP/$tag.$point.record"
  : > "$record"
  LVH_RECORD_FILE="$record" LVH_STOP_AFTER_COMMANDS="$point" start_helper "$@"
}

# record_settles FILE: waits (30 s at most) until no command was added to
# the record for a second: what the run was doing is over.
record_settles() {
  local settled try
  settled=$(wc -l < "$1")
  for try in $(seq 30); do
    sleep 1
    [ "$(wc -l < "$1")" = "$settled" ] && return 0
    settled=$(wc -l < "$1")
  done
  return 1
}

# kill_inside WHAT CHANGE UNDO EXPECTED MIN_POINTS: a full run that the
# command CHANGE makes act while READY is recorded and killed once it has
# settled, then killed after each state-changing command it ran for the
# change, in turn; each time the cleanup must leave the host as EXPECTED,
# and UNDO then takes the change back.
kill_inside() {
  local what=$1 change=$2 undo=$3 expected=$4 min_points=$5
  local all="$TESTBED_TMP/$what.record" ready_commands points point try
  full_run_record_start "$all" || fail "full run reaches READY before the $what"
  record_settles "$all"
  ready_commands=$(wc -l < "$all")
  $change
  # Killed only once the run has acted: a tool still running when the
  # helper dies goes on in its own process group and could change the host
  # after the cleanup.
  record_settles "$all"
  stop_helper KILL
  tried=$((tried + 1))
  recover_and_compare "killed after the $what" "$expected" && passed=$((passed + 1))
  $undo
  mapfile -t points < <(start_sequence_kill_points "$all" | awk -v ready="$ready_commands" '$1 > ready')
  assert_at_least "$min_points" "${#points[@]}" "the $what has kill points"
  for point in "${points[@]}"; do
    start_run_to_kill "$all" "$point" "$what"
    wait_for_line READY
    # The change must find the run waiting, as in the recorded run: its
    # first look has started (a command is recorded as it starts) and had
    # time to end.
    for try in $(seq 100); do
      [ "$(wc -l < "$record")" -ge "$ready_commands" ] && break
      sleep 0.1
    done
    sleep 0.5
    $change
    wait_for_exit
    if [ "$HELPER_STATUS" != 137 ] || [ "$(tail -n 1 "$record")" != "$command" ]; then
      fail "kill in the $what after command $point (${command#system: }): run did not die there (status $HELPER_STATUS, last: $(tail -n 1 "$record"))"
      recover_and_compare "after command $point" "$expected" > /dev/null
    else
      recover_and_compare "kill in the $what after command $point (${command#system: })" \
        "$expected" && passed=$((passed + 1))
    fi
    $undo
  done
}

# --- The start sequence, recorded up to READY, then killed there.
START_RECORD="$TESTBED_TMP/start.record"
if ! full_run_record_start "$START_RECORD"; then
  fail "full run reaches READY"
  testbed_finish
fi
assert_contains "$(ip -6 route show)" "2001:db8:5::7 via $GW_IP6 dev eth0 metric 3" "the run installs the IPv6 endpoint route"
assert_contains "$(ip -4 route show)" "172.16.5.0/24 via $GW_IP4 dev eth0 metric 3" "the run installs bypass routes"
assert_eq "0::/zelmo-vpn-app-routing" "$(grep '^0::' /proc/$APP_PID/cgroup)" "the app runs in the group"
stop_helper KILL
tried=1
passed=0
recover_and_compare "killed while READY" && passed=$((passed + 1))

mapfile -t KILL_POINTS < <(start_sequence_kill_points "$START_RECORD")
assert_at_least 1 "${#KILL_POINTS[@]}" "the start sequence has kill points"
assert_contains "$(for point in "${KILL_POINTS[@]}"; do sed -n "${point}p" "$START_RECORD"; done)" \
  "delete table inet zelmo-vpn-killswitch' 'table inet zelmo-vpn-killswitch {'" \
  "the kill switch's table is installed at a kill point of its own"

for point in "${KILL_POINTS[@]}"; do
  start_run_to_kill "$START_RECORD" "$point" kill
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
  start_run_to_kill "$VPN_ONLY_RECORD" "$point" vpn-only "${VPN_ONLY_ARGS[@]}"
  wait "$HELPER_PID"
  recover_and_compare "vpnOnlySelected, kill after command $point" && passed=$((passed + 1))
done

# --- Inside a switch of servers: the client rewrote the configuration for
# vpn2.test on the TUN device qtun1 and sent SIGHUP. Between the look that
# pins and admits the second server and the one that lets the first go, both
# are pinned: the cleanup must take both servers' routes, in both families.
printf '%s\n' "198.18.0.7 vpn2.test" "2001:db8:6::7 vpn2.test" >> "$TESTBED_TMP/hosts"
switch_servers() {
  write_engine_config "$TESTBED_TMP/full-run.json" qtun1 vpn2.test
  kill -HUP "$HELPER_PID"
}
switch_back() { write_engine_config "$TESTBED_TMP/full-run.json" qtun0 vpn.test; }
kill_inside switch switch_servers switch_back "$BEFORE" 8
assert_eq "pinned first" "$(awk '/route replace 198.18.0.7\/32 / && !p { p = NR } /route del 203.0.113.7\/32 / && !d { d = NR }
  END { print p && d && p < d ? "pinned first" : "pinned " p ", let go " d }' "$TESTBED_TMP/switch.record")" \
  "the switch pins the second server before the first goes, so a kill in between leaves both"

# --- Inside a takeover: a full run killed while READY, then a start that
# takes its pieces over (its kill switch replaced in one transaction per
# family, its group kept, the pins and tables rewritten), itself killed
# after each command that replaces the kill switch or removes or rewrites
# what the killed run left; the cleanup finds the two runs' pieces by the
# same markers.
takeover_after_kill() {
  LVH_RECORD_FILE= start_helper "${FULL_RUN_ARGS[@]}"
  wait_for_line READY || fail "a full run reaches READY before the takeover"
  stop_helper KILL
}
TAKEOVER_RECORD="$TESTBED_TMP/takeover.record"
takeover_after_kill
: > "$TAKEOVER_RECORD"
LVH_RECORD_FILE="$TAKEOVER_RECORD" start_helper "${FULL_RUN_ARGS[@]}"
tried=$((tried + 1))
if wait_for_line READY; then
  stop_helper KILL
  recover_and_compare "takeover, killed while READY" && passed=$((passed + 1))
else
  fail "the takeover reaches READY"
fi
mapfile -t TAKEOVER_POINTS < <(start_sequence_kill_points "$TAKEOVER_RECORD" | while read -r n; do
  sed -n "${n}p" "$TAKEOVER_RECORD" | grep -qE 'restore --noflush|zelmo-vpn-killswitch|route del .* metric 3|table 100|priority 1066' && echo "$n"; done)
assert_contains "$(for point in "${TAKEOVER_POINTS[@]}"; do sed -n "${point}p" "$TAKEOVER_RECORD"; done)" \
  "iptables-restore --noflush" "the takeover replaces the kill switch at a kill point of its own"
for point in "${TAKEOVER_POINTS[@]}"; do
  takeover_after_kill
  start_run_to_kill "$TAKEOVER_RECORD" "$point" takeover
  wait "$HELPER_PID"
  if [ $? != 137 ] || [ "$(tail -n 1 "$record")" != "$command" ]; then
    fail "takeover, kill after command $point (${command#system: }): run did not die there"
    recover_and_compare "after command $point" > /dev/null
    continue
  fi
  recover_and_compare "takeover, kill after command $point (${command#system: })" && passed=$((passed + 1))
done

# --- Inside a re-pin: eth1, on a second network of the gateway's namespace,
# becomes the default in both families while eth0 stays up (a roam). The
# run is killed after each state-changing command it runs for the move, and
# once after the move: the cleanup must find its routes via either gateway
# and take none of the new network's.
testbed_second_network
testbed_roam
ROAMED=$(testbed_snapshot)
testbed_roam_back
kill_inside re-pin testbed_roam testbed_roam_back "$ROAMED" 4

# --- Inside a restore while READY: a rule slipped in front of the kill
# switch's jump, which goes back to rule 1 before the pushed-down one is
# deleted. The cleanup must take every jump and the chain, and leave the
# foreign rule (and the second network's link).
slip_rule_in() { iptables -I OUTPUT 1 -j ACCEPT; }
take_rule_out() { iptables -D OUTPUT -j ACCEPT; }
WITH_FOREIGN_RULE=$(slip_rule_in && testbed_snapshot && take_rule_out)
kill_inside restore slip_rule_in take_rule_out "$WITH_FOREIGN_RULE" 1

# --- Under lockdown: a killed --lockdown run leaves its block, dormant from
# the command that made it on; the cleanup wakes and keeps it, so the host
# is the snapshot with the block that --block makes, and --unblock then
# brings back the snapshot itself. Killed while READY, and after the
# commands around the block's: before it nothing of the block stands.
# The host now has the second network's link: its snapshot is the baseline.
UNBLOCKED=$(testbed_snapshot)
run_helper --block
WITH_BLOCK=$(testbed_snapshot)
run_helper --unblock
assert_contains "$WITH_BLOCK" "table inet zelmo-vpn-block" "the snapshot shows the block"
# recover_blocked WHAT EXPECTED: the cleanup as above, then --unblock.
recover_blocked() {
  recover_and_compare "$1" "$2" || return 1
  LVH_RECORD_FILE= run_helper --unblock
  [ "$(testbed_snapshot)" = "$UNBLOCKED" ] || { fail "$1: host differs from the snapshot after --unblock"; return 1; }
}
LOCKDOWN_ARGS=("${FULL_RUN_ARGS[@]}" --lockdown)
LOCKDOWN_RECORD="$TESTBED_TMP/lockdown.record"
: > "$LOCKDOWN_RECORD"
LVH_RECORD_FILE="$LOCKDOWN_RECORD" start_helper "${LOCKDOWN_ARGS[@]}"
tried=$((tried + 1))
if wait_for_line READY; then
  stop_helper KILL
  recover_blocked "lockdown, killed while READY" "$WITH_BLOCK" && passed=$((passed + 1))
else
  fail "lockdown run reaches READY"
fi
mapfile -t KILL_POINTS < <(start_sequence_kill_points "$LOCKDOWN_RECORD")
BLOCK_AT=$(grep -n "zelmo-vpn-block" "$LOCKDOWN_RECORD" | head -n 1 | cut -d: -f1)
assert_at_least 1 "${BLOCK_AT:-0}" "the lockdown start makes its block"
for point in "${KILL_POINTS[@]}"; do
  [ "$point" -ge "$((BLOCK_AT - 5))" ] && [ "$point" -le "$((BLOCK_AT + 5))" ] || continue
  expected=$UNBLOCKED
  [ "$point" -ge "$BLOCK_AT" ] && expected=$WITH_BLOCK
  start_run_to_kill "$LOCKDOWN_RECORD" "$point" lockdown "${LOCKDOWN_ARGS[@]}"
  wait "$HELPER_PID"
  if [ $? != 137 ] || [ "$(tail -n 1 "$record")" != "$command" ]; then
    fail "lockdown, kill after command $point (${command#system: }): run did not die there"
    recover_blocked "after command $point" "$expected" > /dev/null
    continue
  fi
  recover_blocked "lockdown, kill after command $point (${command#system: })" "$expected" &&
    passed=$((passed + 1))
done

echo "kill points: tried $tried, passed $passed"
assert_eq "$tried" "$passed" "every kill point recovered"

kill "$APP_PID"
wait "$APP_PID" 2>/dev/null
testbed_finish
