#!/bin/bash
# Finding a killed run without running a command: on a clean host every
# trace is absent; after a full run (kill switch, --dns, a vpnOnlySelected
# policy) is killed with SIGKILL each of its traces is present; after the
# cleanup mode they are gone again. The lockdown block is recorded but is
# no killed run's; without CAP_NET_ADMIN the firewall cannot be asked and
# the verdict is "cannot tell". The reader runs under the command recorder,
# which records the pin removal's listings in the same way (the control).
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
full_run_setup
DRIVER="$LVH_BUILD_DIR/tools/takeover_driver/takeover_driver"
RECORD="$TESTBED_TMP/traces.record"

# traces: the record's lines on one line, as "name=value ..."; the commands
# it ran go to $RECORD.
traces() {
  : > "$RECORD"
  LD_PRELOAD="$LVH_RECORDER" LVH_RECORD_FILE="$RECORD" "$@" "$DRIVER" traces | tr '\n' ' ' | sed 's/ $//'
}
# all_traces VALUE [NAME=VALUE...]: every trace of a killed run at VALUE
# but those given, the block absent unless given, and the verdict last.
all_traces() {
  local value=$1 name line=""
  shift
  for name in kill_switch_chain4 kill_switch_chain6 kill_switch_guard dns_redirect app_guard_chain4 \
    app_guard_chain6 app_group icmp_bypass_rule app_rule4 app_rule6 lockdown_block; do
    local this=$value
    [ "$name" = lockdown_block ] && this=absent
    for given in "$@"; do [ "${given%%=*}" = "$name" ] && this=${given#*=}; done
    line+="$name=$this "
  done
  echo "${line}verdict=$(for given in "$@"; do [ "${given%%=*}" = verdict ] && echo "${given#*=}"; done)"
}

assert_eq "$(all_traces absent verdict=none)" "$(traces)" "clean host: no trace"
assert_eq "" "$(cat "$RECORD")" "clean host: finding ran no command"
: > "$RECORD"
LD_PRELOAD="$LVH_RECORDER" LVH_RECORD_FILE="$RECORD" "$DRIVER" remove-other-pins "" "" ""
assert_contains "$(cat "$RECORD")" "popen: ip -4 route show" "control: the recorder records the driver's commands"

# Each policy rule form alone: the ICMP bypass's also for ICMP only.
ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100
assert_contains "$(traces)" "icmp_bypass_rule=present app_rule4=absent" "the ICMP bypass's rule for ICMP alone"
ip rule del priority 100
ip -6 rule add fwmark 0x66 lookup 1067 priority 1066
assert_contains "$(traces)" "app_rule4=absent app_rule6=present lockdown_block=absent verdict=found" \
  "an IPv6 app-routing rule alone"
ip -6 rule del priority 1066
ip rule add fwmark 0x66 lookup 1066 priority 1066 iif eth0
assert_eq "$(all_traces absent verdict=none)" "$(traces)" "a rule that selects more is no trace"
ip rule del priority 1066

VPN_ONLY_ARGS=("${FULL_RUN_ARGS[@]/bypassSelected/vpnOnlySelected}")
start_helper "${VPN_ONLY_ARGS[@]}"
wait_for_line READY && pass "full run READY" || fail "full run READY"
stop_helper KILL
assert_eq "$(all_traces present verdict=found)" "$(traces)" "killed run: every trace found"
assert_eq "" "$(cat "$RECORD")" "killed run: finding ran no command"
assert_eq "$(all_traces unknown app_group=present icmp_bypass_rule=present app_rule4=present app_rule6=present lockdown_block=unknown verdict=found)" \
  "$(traces setpriv --bounding-set=-net_admin --inh-caps=-net_admin)" \
  "without CAP_NET_ADMIN the firewall's traces are unknown, the rules and the group still found"

run_helper --cleanup
assert_eq "$(all_traces absent verdict=none)" "$(traces)" "after the cleanup mode: no trace"
assert_eq "$(all_traces unknown app_group=absent icmp_bypass_rule=absent app_rule4=absent app_rule6=absent lockdown_block=unknown verdict=cannot-tell)" \
  "$(traces setpriv --bounding-set=-net_admin --inh-caps=-net_admin)" \
  "clean host without CAP_NET_ADMIN: cannot tell"

run_helper --block
assert_eq "$(all_traces absent lockdown_block=present verdict=none)" "$(traces)" \
  "the lockdown block is recorded, and no killed run's"
assert_eq "" "$(cat "$RECORD")" "with the block: finding ran no command"
run_helper --unblock

kill "$FULL_APP_PID"
testbed_finish
