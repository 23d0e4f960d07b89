#!/bin/bash
# A name lookup after READY never holds up the stop. A run starts without a
# network, with the server given as a name that cannot be resolved then; a
# network comes while the resolver is one that drops every query, so the
# watch's second try at the name waits on it: SIGTERM still reaches STOPPED
# within a second, and the helper exits. Then the same start, with a
# resolver that begins to answer only after the network came: the name is
# asked again until it does, and the server is pinned.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
source "$(dirname "$0")/lib_dns.sh"
testbed_setup
testbed_hosts
testbed_resolv_conf "nameserver $GW_IP4" "options timeout:5 attempts:2"
gw_count_rule dns iptables -p udp --dport 53
gw_exec iptables -A INPUT -p udp --dport 53 -j DROP
gw_exec iptables -A INPUT -p tcp --dport 53 -j DROP
CONFIG="$TESTBED_TMP/engine.json"
write_engine_config "$CONFIG" qtun0 vpn.unanswered.test

ip link set eth0 down
start_helper --lib "$LVH_ENGINE" --config "$CONFIG"
wait_for_line READY || fail "READY without a network ($(tail -n 1 "$HELPER_OUT"))"
assert_contains "$(cat "$HELPER_OUT")" "INFO: endpoint=vpn.unanswered.test bypass4=[] bypass6=[]" \
  "the name did not resolve at start"
ip link set eth0 up
ip route add default via "$GW_IP4" dev eth0
# The line comes just before the lookup: a stop right after it falls into
# the lookup's first second, and must not wait for it to end.
wait_for_line "INFO: default4 via=$GW_IP4 dev=eth0" || fail "the watch saw the network come"
sleep 0.1
signalled=$(date +%s%3N)
kill -TERM "$HELPER_PID"
wait_for_line STOPPED 30
took=$(($(date +%s%3N) - signalled))
if [ "$took" -lt 1000 ]; then pass "STOPPED ${took} ms after SIGTERM"; else fail "STOPPED ${took} ms after SIGTERM (want under 1000)"; fi
assert_at_least 1 "$(gw_count dns iptables)" "the watch asked the resolver again, which did not answer"
wait_for_exit 10 && pass "the helper exits" || fail "the helper exits"
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "exit status 0 after STOPPED"

ANSWER4=203.0.113.7
pinned() { ip -4 route show "$ANSWER4/32" | grep -q "via $GW_IP4 dev eth0"; }
ip link set eth0 down
start_helper --lib "$LVH_ENGINE" --config "$CONFIG"
wait_for_line READY || fail "late answer: READY without a network"
ip link set eth0 up
ip route add default via "$GW_IP4" dev eth0
wait_for_line "INFO: default4 via=$GW_IP4 dev=eth0" || fail "late answer: the watch saw the network come"
# The watch's lookup ends unanswered after its second.
sleep 1.5
if pinned; then fail "late answer: nothing pinned while the resolver does not answer"
else pass "late answer: nothing pinned while the resolver does not answer"; fi
gw_exec iptables -D INPUT -p udp --dport 53 -j DROP
gw_exec iptables -D INPUT -p tcp --dport 53 -j DROP
dns_resolver "$GW_PID" --listen-address="$GW_IP4" --host-record="vpn.unanswered.test,$ANSWER4"
if wait_for_line "INFO: endpoint=vpn.unanswered.test bypass4=[$ANSWER4] bypass6=[]" 30 &&
  wait_until 10 pinned; then pass "late answer: the name is asked again, and the server pinned"
else fail "late answer: the name is asked again, and the server pinned"; fi
stop_helper
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "late answer: STOPPED"
testbed_finish
