#!/bin/bash
# Real packets against the kill switch. The gateway namespace owns an
# endpoint address in each family, an address in a bypass prefix and two
# outside addresses,
# and counts every packet that arrives for each of them. While READY the
# outside traffic must enter the tunnel and never reach the gateway; once the
# TUN device is gone (the tunnel died, its split routes with it, the default
# route remains) the chain must still keep it from the gateway, while
# endpoint and bypass traffic reach it throughout.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup --ipv6

ENDPOINT=203.0.113.7
ENDPOINT6=2001:db8:5::7
BYPASS_PREFIX=10.20.0.0/16
BYPASS_HOST=10.20.0.5
OUTSIDE4=198.51.100.9
OUTSIDE6=2001:db8:99::9
PORT=9999
PACKETS=3

gw_exec ip addr add "$ENDPOINT/32" dev lo
gw_exec ip addr add "$BYPASS_HOST/32" dev lo
gw_exec ip addr add "$OUTSIDE4/32" dev lo
gw_exec ip addr add "$OUTSIDE6/128" dev lo nodad
gw_exec ip addr add "$ENDPOINT6/128" dev lo nodad
testbed_hosts "$ENDPOINT vpn.test" "$ENDPOINT6 vpn.test"
# One labelled counter per destination and protocol, where packets enter
# the gateway.
for dest in "$ENDPOINT" "$BYPASS_HOST" "$OUTSIDE4"; do
  gw_count_rule "udp-$dest" iptables -d "$dest" -p udp --dport "$PORT"
done
for dest in "$ENDPOINT" "$OUTSIDE4"; do
  gw_count_rule "icmp-$dest" iptables -d "$dest" -p icmp
done
for dest in "$ENDPOINT6" "$OUTSIDE6"; do
  gw_count_rule "udp-$dest" ip6tables -d "$dest" -p udp --dport "$PORT"
done

send_udp() {
  local i
  for i in $(seq "$PACKETS"); do
    echo probe | socat -u - "UDP-SENDTO:$1:$PORT" 2>/dev/null
  done
}
send_all() {
  # A cold neighbour cache makes every IPv6 send resolve the gateway anew.
  ip -6 neigh flush dev eth0
  send_udp "[$ENDPOINT6]"
  send_udp "$ENDPOINT"
  send_udp "$BYPASS_HOST"
  send_udp "$OUTSIDE4"
  send_udp "[$OUTSIDE6]"
  # Pings are marked by the ICMP bypass and re-routed to the physical path.
  ping -c "$PACKETS" -i 0.2 -W 1 "$ENDPOINT" > /dev/null 2>&1
  ping -c "$PACKETS" -i 0.2 -W 1 "$OUTSIDE4" > /dev/null 2>&1
}
# expect_arrivals PHASE ENDPOINT BYPASS OUTSIDE4 OUTSIDE4_ICMP OUTSIDE6
expect_arrivals() {
  assert_eq "$2" "$(gw_count "udp-$ENDPOINT" iptables)" "$1: endpoint packets at the gateway"
  assert_eq "$2" "$(gw_count "icmp-$ENDPOINT" iptables)" "$1: endpoint pings at the gateway"
  assert_eq "$2" "$(gw_count "udp-$ENDPOINT6" ip6tables)" "$1: IPv6 endpoint packets at the gateway"
  assert_eq "$3" "$(gw_count "udp-$BYPASS_HOST" iptables)" "$1: bypass prefix packets at the gateway"
  assert_eq "$4" "$(gw_count "udp-$OUTSIDE4" iptables)" "$1: outside IPv4 UDP packets at the gateway"
  assert_eq "$5" "$(gw_count "icmp-$OUTSIDE4" iptables)" "$1: outside IPv4 ping packets at the gateway"
  assert_eq "$6" "$(gw_count "udp-$OUTSIDE6" ip6tables)" "$1: outside IPv6 packets at the gateway"
}

# --- Positive control: without the helper every counter sees its traffic.
send_all
expect_arrivals "no helper" "$PACKETS" "$PACKETS" "$PACKETS" "$PACKETS" "$PACKETS"
gw_reset_counts

# --- READY with the kill switch: outside traffic goes into the tunnel only.
PACKET_LOG="$TESTBED_TMP/packets.log"
config=$(ks_write_config qtun0 vpn.test)
LVH_ENGINE_PACKET_LOG="$PACKET_LOG" start_helper --lib "$LVH_ENGINE" --config "$config" \
  --dat-dir "$TESTBED_TMP" --bypass-prefixes "$BYPASS_PREFIX" --kill-switch
wait_for_line READY && pass "helper READY with the kill switch" || fail "helper READY"
send_all
expect_arrivals "tunnel up" "$PACKETS" "$PACKETS" 0 0 0
tunnel_log=$(cat "$PACKET_LOG")
assert_eq "$PACKETS" "$(grep -c "^ipv4 udp [^ ]* $OUTSIDE4 $PORT\$" <<< "$tunnel_log")" \
  "tunnel up: outside IPv4 UDP entered the tunnel"
assert_eq "$PACKETS" "$(grep -c "^ipv6 udp [^ ]* $OUTSIDE6 $PORT\$" <<< "$tunnel_log")" \
  "tunnel up: outside IPv6 UDP entered the tunnel"
assert_not_contains "$tunnel_log" " $ENDPOINT " "tunnel up: endpoint traffic kept off the tunnel"
assert_not_contains "$tunnel_log" " $ENDPOINT6 " "tunnel up: IPv6 endpoint traffic kept off the tunnel"
gw_reset_counts

# --- The tunnel dies: device and split routes gone, default routes remain.
ip link delete qtun0
assert_eq "" "$(ip route show 0.0.0.0/1; ip route show 128.0.0.0/1; ip -6 route show ::/1)" \
  "tunnel down: split routes vanished with the device"
assert_contains "$(ip route show default)" "default via $GW_IP4 dev eth0" "tunnel down: IPv4 default route remains"
assert_contains "$(ip -6 route show default)" "default via $GW_IP6 dev eth0" "tunnel down: IPv6 default route remains"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "tunnel down: IPv4 chain still hooked"
send_all
expect_arrivals "tunnel down" "$PACKETS" "$PACKETS" 0 0 0

# --- Teardown: the chain goes, outside traffic reaches the gateway again.
stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "helper stops cleanly"
gw_reset_counts
send_all
expect_arrivals "after teardown" "$PACKETS" "$PACKETS" "$PACKETS" "$PACKETS" "$PACKETS"

testbed_finish
