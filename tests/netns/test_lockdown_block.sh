#!/bin/bash
# The lockdown block on a host where no run stands, in the routed topology
# with a container behind a bridge of the host. One table of checks in
# three states: before it (every check's positive control), under --block,
# and after --unblock. Then what the block does with the other modes:
# --block again changes nothing, the cleanup mode keeps it after a killed
# run and says so, a run without the kill switch is refused and a helper
# that runs refuses both modes, each leaving the host as it was; --unblock
# brings the host back exactly to its snapshot, and a second one runs no
# command at all.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_killswitch.sh"
routed_setup
routed_rp_filter 2
routed_container c1
ks_upkeep_servers
for family in 4 6; do
  tool=iptables server=$SERVER4
  [ "$family" = 6 ] && tool=ip6tables server=$SERVER6
  gw_count_rule "syn$family" "$tool" -p tcp --syn -d "$server" --dport "$CONV_PORT"
  gw_count_rule "udp$family" "$tool" -p udp -d "$server" --dport 9999
done
BEFORE=$(testbed_snapshot)

# The host's own traffic to the internet: where its conversations led, and
# what reached the router of them and of a datagram per family.
host() {
  gw_reset_counts
  udp_probe "$SERVER4" 9999
  udp_probe "$SERVER6" 9999
  echo "$(seen "$SERVER4") $(seen "$SERVER6")" \
    "$(gw_count syn4 iptables)/$(gw_count syn6 ip6tables)/$(gw_count udp4 iptables)/$(gw_count udp6 ip6tables)"
}
# The same for the container's forwarded traffic.
forwarded() {
  gw_reset_counts
  ct_exec c1 bash -c "echo probe | socat -u - UDP-SENDTO:$SERVER4:9999; echo probe | socat -u - UDP-SENDTO:[$SERVER6]:9999" 2>/dev/null
  echo "$(ct_conv c1 "$SERVER4" 2>&1 | tail -n 1) $(ct_conv c1 "$SERVER6" 2>&1 | tail -n 1)" \
    "$(gw_count syn4 iptables)/$(gw_count syn6 ip6tables)/$(gw_count udp4 iptables)/$(gw_count udp6 ip6tables)"
}
host_to_ct() { echo "$(seen "${CT_IP4[c1]}") $(seen "${CT_IP6[c1]}")"; }

R="$ROUTER_OUT4 $ROUTER_OUT6 1/1/1/1"
BRIDGE="$CT_BRIDGE_IP4 $CT_BRIDGE_IP6"
# check | before | blocked | unblocked
TABLE="
host | $R | refused refused 0/0/0/0 | $R
forwarded | $R | refused refused 0/0/0/0 | $R
host_to_ct | $BRIDGE | $BRIDGE | $BRIDGE
ks_upkeep | ack ack6 1 | ack ack6 1 | ack ack6 1
"
check_column() { ks_check_column "$1" "$2" "$TABLE"; }

check_column 1 before
run_to_end --block
assert_eq "0 BLOCKED" "$STATUS $(tail -n 1 <<< "$OUT")" "--block on a clean host"
BLOCKED=$(testbed_snapshot)
assert_contains "$BLOCKED" "table inet zelmo-vpn-block {" "the block is the table of that name"
check_column 2 blocked

run_to_end --block
assert_eq "0 BLOCKED|$BLOCKED" "$STATUS $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" \
  "--block again: the same table, nothing else"

# A run killed under the block: the cleanup removes what it left, keeps the
# block, and says so.
routed_start_helper --kill-switch || fail "a run under the block reaches READY ($(cat "$HELPER_OUT"))"
stop_helper KILL
run_to_end --cleanup
assert_eq "0 INFO: lockdown block kept; traffic stays blocked until a start with --kill-switch or --unblock|CLEANED" \
  "$STATUS $(sed -n 2p <<< "$OUT")|$(tail -n 1 <<< "$OUT")" "the cleanup mode keeps the block and says so"
ip -6 route del "$ENDPOINT6/128" via "$GW_IP6" dev eth0 2>/dev/null  # no marker; see the crash sweep
assert_eq "$BLOCKED" "$(testbed_snapshot)" "after the cleanup: the block, and nothing of the killed run"

OUT=$(timeout -s KILL 20 "$LVH_HELPER" --lib "$LVH_ENGINE" --config "$ROUTED_CONFIG" 2>&1)
assert_eq "2 ERROR: traffic is blocked (lockdown); start with --kill-switch, or end the block with --unblock" \
  "$? $(tail -n 1 <<< "$OUT")" "a run without the kill switch is refused while the block stands"
assert_eq "$BLOCKED" "$(testbed_snapshot)" "the refused run changed nothing"

routed_start_helper --kill-switch || fail "a run under the block reaches READY ($(cat "$HELPER_OUT"))"
RUNNING=$(testbed_snapshot)
for mode in --block --unblock; do
  run_to_end "$mode"
  assert_eq "2 ERROR: another linux_vpn_helper is running (pid $HELPER_PID linux_vpn_helpe)|$RUNNING" \
    "$STATUS $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" "$mode while a helper runs: refused, nothing changed"
done
stop_helper TERM
assert_eq "0 STOPPED|$BLOCKED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")|$(testbed_snapshot)" \
  "the run stops; the block stays"

RECORD="$TESTBED_TMP/unblock.record"
declare -A UNBLOCK_COMMANDS
for try in first second; do
  : > "$RECORD"
  OUT=$(LVH_RECORD_FILE="$RECORD" LD_PRELOAD="$LVH_RECORDER" "$LVH_HELPER" --unblock)
  assert_eq "0 UNBLOCKED|$BEFORE" "$? $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" \
    "--unblock, $try time: the host exactly as before the block"
  UNBLOCK_COMMANDS[$try]=$(cat "$RECORD")
done
assert_eq "system: nft delete table inet zelmo-vpn-block >/dev/null 2>&1|" \
  "${UNBLOCK_COMMANDS[first]}|${UNBLOCK_COMMANDS[second]}" \
  "the first --unblock deletes the table; the second, with no block, runs no command"
check_column 3 unblocked
testbed_finish
