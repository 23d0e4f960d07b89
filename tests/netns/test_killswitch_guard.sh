#!/bin/bash
# What the kill switch covers beyond the host's own traffic, in the routed
# topology with two containers behind a bridge of the host (masqueraded,
# one of them published on a port of eth0). One table: each check in each
# phase of one run, from no helper, through READY and the tunnel gone, a
# foreign accepting jump put first in filter OUTPUT and FORWARD once and by
# an eager program that keeps putting it first, to after STOPPED. Counts at
# the router are zero only where the phases without the helper show the
# same counters counting.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_rp_filter 2
routed_container c1
routed_container c2
PUBLISHED_PORT=8080
routed_container_publish c1 "$PUBLISHED_PORT"
# Probes: the containers' datagrams to port 9998, the host's to 9999.
for family in 4 6; do
  tool=iptables server=$SERVER4
  [ "$family" = 6 ] && tool=ip6tables server=$SERVER6
  gw_count_rule "syn$family" "$tool" -p tcp --syn -d "$server" --dport "$CONV_PORT"
  gw_count_rule "ct$family" "$tool" -p udp -d "$server" --dport 9998
  gw_count_rule "host$family" "$tool" -p udp -d "$server" --dport 9999
done
gw_count_rule rs ip6tables -p ipv6-icmp --icmpv6-type router-solicitation
# DHCP from the client's port: to a server beyond the router, and to the
# broadcast address (DHCPv6: the servers' multicast group).
gw_count_rule far4 iptables -p udp --sport 68 -d "$SERVER4" --dport 67
gw_count_rule far6 ip6tables -p udp --sport 546 -d "$SERVER6" --dport 547
gw_count_rule wide4 iptables -p udp --sport 68 -d 255.255.255.255 --dport 67
gw_count_rule wide6 ip6tables -p udp --sport 546 -d ff02::1:2 --dport 547
# A DHCP and a DHCPv6 server on the home router's LAN side: each answers
# a request from the client's port.
nsenter --net="/proc/$GW_PID/ns/net" socat UDP4-RECVFROM:67,fork SYSTEM:'read -r request; echo ack' &
nsenter --net="/proc/$GW_PID/ns/net" socat UDP6-RECVFROM:547,fork SYSTEM:'read -r request; echo ack6' &
BEFORE=$(testbed_snapshot)

# The checks, each printing its outcome.
last_line() { "$@" 2>&1 | tail -n 1; }
ct_server4() { last_line ct_conv c1 "$SERVER4"; }
ct_server6() { last_line ct_conv c1 "$SERVER6"; }
ct_bypass() { last_line ct_conv c1 "$BYPASS_HOST4"; }
published() {
  echo "$(last_line gw_exec "$CONVERSATION" ask "$HOST_IP4" "$PUBLISHED_PORT")" \
    "$(last_line gw_exec "$CONVERSATION" ask "$HOST_IP6" "$PUBLISHED_PORT")"
}
neighbours() { last_line ct_conv c2 "${CT_IP4[c1]}"; }
host_to_ct() { echo "$(seen "${CT_IP4[c1]}") $(seen "${CT_IP6[c1]}")"; }
# What reaches the router of a conversation and five datagrams per family,
# from the container c1 (ct) or the host: syn4/syn6/udp4/udp6.
leaks() {
  local who=$1 port=9998 run=(ct_exec c1) i address
  [ "$who" = host ] && port=9999 run=()
  gw_reset_counts
  for i in 1 2 3 4 5; do
    for address in "$SERVER4" "[$SERVER6]"; do
      echo probe | "${run[@]}" socat -u - "UDP-SENDTO:$address:$port" 2> /dev/null
    done
    sleep 0.1
  done
  for address in "$SERVER4" "$SERVER6"; do
    "${run[@]}" "$CONVERSATION" ask "$address" "$CONV_PORT" > /dev/null 2>&1
  done
  echo "$(gw_count syn4 iptables)/$(gw_count syn6 ip6tables)/$(gw_count "${who}4" iptables)/$(gw_count "${who}6" ip6tables)"
}
ct_leaks() { leaks ct; }
host_leaks() { leaks host; }
# The host's own upkeep: a unicast lease renewal to the server on the
# uplink's network, a DHCPv6 exchange (after
# the router's link address is forgotten, so neighbour discovery must work
# first), a router solicitation counted at the router.
dhcp() {
  ip -6 neigh flush dev eth0
  echo "$(echo renew | socat -t 3 -T 3 - "UDP4:$GW_IP4:67,sourceport=68,readbytes=4" 2>&1)" \
    "$(echo renew | socat -t 3 -T 3 - "UDP6:[$GW_IP6]:547,sourceport=546,readbytes=5" 2>&1)"
}
# Three datagrams per family from the DHCP client's port to a server on
# the internet, as a program bound to that port can send them.
dhcp_far() {
  gw_reset_counts
  local i
  for i in 1 2 3; do
    echo discover | socat -u - "UDP4-SENDTO:$SERVER4:67,sourceport=68" 2>/dev/null
    echo solicit | socat -u - "UDP6-SENDTO:[$SERVER6]:547,sourceport=546" 2>/dev/null
  done
  echo "$(gw_count far4 iptables)/$(gw_count far6 ip6tables)"
}
# One to the limited broadcast and one to the DHCPv6 servers' group, out of
# eth0 as a DHCP client sends them.
dhcp_wide() {
  gw_reset_counts
  echo discover | socat -u - "UDP4-SENDTO:255.255.255.255:67,broadcast,sourceport=68,so-bindtodevice=eth0" 2>/dev/null
  echo solicit | socat -u - "UDP6-SENDTO:[ff02::1:2]:547,sourceport=546,so-bindtodevice=eth0" 2>/dev/null
  echo "$(gw_count wide4 iptables)/$(gw_count wide6 ip6tables)"
}
# A network that comes onto the uplink while READY is one DHCP may reach,
# in the chain and in the guard.
on_link_follows() {
  local followed=no
  ip addr add 192.0.9.2/24 dev eth0
  wait_until 10 eval 'iptables -S ZELMO_KILLSWITCH | grep -q -- "-d 192.0.9.0/24 -p udp" &&
    nft list chain inet zelmo-vpn-killswitch upkeep | grep -q "ip daddr 192.0.9.0/24 udp"' && followed=yes
  ip addr del 192.0.9.2/24 dev eth0
  echo "$followed"
}
rs() {
  gw_reset_counts
  printf '\x85\0\0\0\0\0\0\0' | socat -u - "IP6-SENDTO:[$GW_IP6]:58" 2>/dev/null
  gw_count rs ip6tables
}
# The fight with the eager program over 6 more seconds: the client is told
# once per family which piece something keeps overtaking, and the helper
# puts it back with a growing pause, not in a busy loop (few commands).
fight() {
  local before=$(wc -l < "$RECORD") told4 told6
  sleep 6
  told4=$(grep -c 'keeps removing or overtaking the kill switch jump (iptables)' "$HELPER_OUT")
  told6=$(grep -c 'keeps removing or overtaking the kill switch jump (ip6tables)' "$HELPER_OUT")
  local commands=$(( $(wc -l < "$RECORD") - before ))
  echo "told $told4 $told6, $([ "$commands" -le 30 ] && echo "at most 30 commands" || echo "$commands commands")"
}

# The phases, in order; each sets up on top of the one before.
phase_none() { :; }
RECORD="$TESTBED_TMP/record"
phase_ready() {
  : > "$RECORD"
  LVH_RECORD_FILE="$RECORD" routed_start_helper --kill-switch --bypass-prefixes "$BYPASS_PREFIX4" ||
    fail "READY ($(cat "$HELPER_ERR"))"
}
phase_gone() { ip link delete zelmo_vpn-tun0; }
foreign_jump() {
  local tool chain
  for tool in iptables ip6tables; do
    for chain in OUTPUT FORWARD; do
      [ "$("$tool" -S "$chain" | sed -n 2p)" = "-A $chain -j EAGER" ] || "$tool" -I "$chain" 1 -j EAGER
    done
  done
}
phase_once() {
  iptables -N EAGER; iptables -A EAGER -j ACCEPT
  ip6tables -N EAGER; ip6tables -A EAGER -j ACCEPT
  foreign_jump
}
phase_eager() {
  touch "$TESTBED_TMP/eager"
  while [ -e "$TESTBED_TMP/eager" ]; do foreign_jump 2> /dev/null; done &
  EAGER_PID=$!
  sleep 0.5
}
phase_stopped() {
  rm "$TESTBED_TMP/eager"
  wait "$EAGER_PID"
  local tool chain
  for tool in iptables ip6tables; do
    for chain in OUTPUT FORWARD; do while "$tool" -D "$chain" -j EAGER 2> /dev/null; do :; done; done
    "$tool" -F EAGER; "$tool" -X EAGER
  done
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "the run stops"
}

R4=$ROUTER_OUT4 R6=$ROUTER_OUT6 E4=$ENDPOINT4 E6=$ENDPOINT6
BRIDGE="$CT_BRIDGE_IP4 $CT_BRIDGE_IP6"
LAN="$GW_IP4 $GW_IP6"
# check | none | ready | gone | once | eager | stopped   ("-": not checked)
TABLE="
ct_server4 | $R4 | $E4 | - | - | - | $R4
ct_server6 | $R6 | $E6 | - | - | - | $R6
ct_bypass | $R4 | $R4 | $R4 | - | - | $R4
ct_leaks | 1/1/5/5 | 0/0/0/0 | 0/0/0/0 | 0/0/0/0 | 0/0/0/0 | 1/1/5/5
host_leaks | 1/1/5/5 | 0/0/0/0 | 0/0/0/0 | 0/0/0/0 | 0/0/0/0 | 1/1/5/5
published | $LAN | $LAN | $LAN | - | - | $LAN
neighbours | ${CT_IP4[c2]} | ${CT_IP4[c2]} | ${CT_IP4[c2]} | - | - | ${CT_IP4[c2]}
host_to_ct | $BRIDGE | $BRIDGE | $BRIDGE | - | - | $BRIDGE
dhcp | ack ack6 | ack ack6 | ack ack6 | - | - | ack ack6
dhcp_far | 3/3 | 0/0 | 0/0 | 0/0 | 0/0 | 3/3
dhcp_wide | 1/1 | 1/1 | 1/1 | 1/1 | - | 1/1
on_link_follows | - | yes | - | - | - | -
rs | 1 | 1 | 1 | - | - | 1
fight | - | - | - | - | told 1 1, at most 30 commands | -
"
column=2
for phase in none ready gone once eager stopped; do
  "phase_$phase"
  while IFS='|' read -r check cells; do
    check=$(echo $check)
    [ -n "$check" ] || continue
    want=$(echo "$cells" | cut -d'|' -f$((column - 1)) | sed -E 's/^ +| +$//g')
    [ "$want" = - ] || assert_eq "$want" "$($check)" "$phase: $check"
  done <<< "$TABLE"
  column=$((column + 1))
done
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before the run"
testbed_finish
