#!/bin/bash
# Real packets through the tunnel routes: while READY a datagram to an
# arbitrary address enters the TUN device (the stand-in engine logs it),
# while datagrams to the endpoint and to a bypass prefix, and a ping, leave
# through the physical interface (counted at the gateway namespace). After
# STOPPED everything takes the physical path again.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routing.sh"
testbed_setup --ipv6
rt_endpoint_hosts
CONFIG="$TESTBED_TMP/config.json"
rt_write_config "$CONFIG" lvhtun0 "$RT_ENDPOINT"
PACKETS="$TESTBED_TMP/packets.log"
: > "$PACKETS"

ARBITRARY4=93.184.216.34
ARBITRARY6=2001:db8:77::1
BYPASSED4=10.20.5.5
PORT=9999

# Counting rules at the gateway's end of the link, one per kind of packet.
gw_count_rule arbitrary4 iptables -p udp -d "$ARBITRARY4" --dport "$PORT"
gw_count_rule endpoint4 iptables -p udp -d "$RT_ENDPOINT_V4A" --dport "$PORT"
gw_count_rule bypass4 iptables -p udp -d "$BYPASSED4" --dport "$PORT"
gw_count_rule ping4 iptables -p icmp --icmp-type echo-request -d "$ARBITRARY4"
gw_count_rule arbitrary6 ip6tables -p udp -d "$ARBITRARY6" --dport "$PORT"
gw_count_rule endpoint6 ip6tables -p udp -d "$RT_ENDPOINT_V6" --dport "$PORT"

send_udp() { echo probe > "/dev/udp/$1/$PORT"; }
send_ping() { ping -c 1 -W 1 "$1" > /dev/null 2>&1; }

# wait_count NAME TOOL N: waits until the gateway has counted N packets.
wait_count() {
  local tries
  for tries in $(seq 100); do
    [ "$(gw_count "$1" "$2")" -ge "$3" ] && return 0
    sleep 0.05
  done
  return 1
}

# wait_logged LINE: waits until the engine logged a packet line.
wait_logged() {
  local tries
  for tries in $(seq 100); do
    grep -qxF -- "$1" "$PACKETS" && return 0
    sleep 0.05
  done
  return 1
}

# Every packet of the probe set, as the counters must show it afterwards.
counts() {
  echo "arbitrary4=$(gw_count arbitrary4 iptables) endpoint4=$(gw_count endpoint4 iptables)" \
    "bypass4=$(gw_count bypass4 iptables) ping4=$(gw_count ping4 iptables)" \
    "arbitrary6=$(gw_count arbitrary6 ip6tables) endpoint6=$(gw_count endpoint6 ip6tables)"
}
send_probes() {
  send_udp "$ARBITRARY4"
  send_udp "$RT_ENDPOINT_V4A"
  send_udp "$BYPASSED4"
  send_ping "$ARBITRARY4"
  send_udp "$ARBITRARY6"
  send_udp "$RT_ENDPOINT_V6"
}

# --- Positive control before the run: every probe reaches the gateway.
send_probes
wait_count endpoint6 ip6tables 1
wait_count arbitrary4 iptables 1
assert_eq "arbitrary4=1 endpoint4=1 bypass4=1 ping4=1 arbitrary6=1 endpoint6=1" "$(counts)" \
  "without the tunnel every probe reaches the gateway"

# --- While READY
LVH_ENGINE_PACKET_LOG="$PACKETS" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP" --bypass-prefixes 10.20.0.0/16
wait_for_line READY && pass "the run reaches READY" || fail "READY (stderr: $(cat "$HELPER_ERR"))"
send_probes
wait_logged "ipv4 udp 172.19.0.1 $ARBITRARY4 $PORT" && pass "UDP to an arbitrary IPv4 address enters the tunnel" ||
  fail "no tunnel packet for $ARBITRARY4 (log: $(cat "$PACKETS"))"
wait_logged "ipv6 udp fd00:66::1 $ARBITRARY6 $PORT" && pass "UDP to an arbitrary IPv6 address enters the tunnel" ||
  fail "no tunnel packet for $ARBITRARY6 (log: $(cat "$PACKETS"))"
wait_count endpoint6 ip6tables 2
assert_eq "arbitrary4=1 endpoint4=2 bypass4=2 ping4=2 arbitrary6=1 endpoint6=2" "$(counts)" \
  "endpoint, bypass prefix and ping leave through the physical interface; arbitrary traffic does not"
assert_eq "" "$(grep -E " ($RT_ENDPOINT_V4A|$BYPASSED4|$RT_ENDPOINT_V6) " "$PACKETS")" \
  "no endpoint or bypass packet entered the tunnel"
assert_eq "" "$(grep -E '^ipv4 icmp ' "$PACKETS")" "the ping did not enter the tunnel"
stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "the run ends with STOPPED"

# --- After STOPPED: the physical path again.
send_probes
wait_count arbitrary6 ip6tables 2
wait_count arbitrary4 iptables 2
assert_eq "arbitrary4=2 endpoint4=3 bypass4=3 ping4=3 arbitrary6=2 endpoint6=3" "$(counts)" \
  "after STOPPED every probe reaches the gateway again"

testbed_finish
