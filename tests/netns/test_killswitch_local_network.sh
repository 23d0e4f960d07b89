#!/bin/bash
# --allow-lan, in the routed topology: the home router is also a private
# neighbour on the host's link (192.168.77.0/24, fd77::/64 and a link-local
# address) and a public one (198.18.77.0/24, made on-link: a network can
# claim any prefix). One table: each check in each phase, from no helper,
# through the kill switch alone, the kill switch with --allow-lan, READY
# and with the tunnel gone, after STOPPED, under the lockdown block with
# --allow-lan, and under the block a --lockdown run leaves at its STOPPED.
# The local network passes by unicast, link-local,
# multicast (mDNS, SSDP) and broadcast, from the host and from a container
# behind its bridge; the internet, the public prefix made on-link and
# lookups to the local resolver stay at zero at the router where the phase
# without the helper shows the same counters counting.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_killswitch.sh"
routed_setup
routed_rp_filter 2
routed_container c1
LAN4=192.168.77.1 LAN6=fd77::1 LINK6=fe80::77 PUBLIC4=198.18.77.1
ip addr add 192.168.77.2/24 dev eth0
ip addr add fd77::2/64 dev eth0 nodad
ip addr add 198.18.77.2/24 dev eth0
gw_exec ip addr add "$LAN4/24" dev gw0
gw_exec ip addr add "$LAN6/64" dev gw0 nodad
gw_exec ip addr add "$LINK6/64" dev gw0 nodad
gw_exec ip addr add "$PUBLIC4/24" dev gw0
routed_start_server "$GW_PID" conversation.router "$CONVERSATION" serve "$CONV_PORT"
# Datagrams to the local network, each counted where it reaches the router.
LOCAL="mdns4 224.0.0.251 5353|mdns6 ff02::fb 5353|ssdp 239.255.255.250 1900|link6 $LINK6 9997|broadcast 192.168.77.255 9996|limited 255.255.255.255 9996"
LOOKUPS="udp4 $LAN4 53|udp6 $LAN6 53"
counted() {
  local IFS='|' entry name address port
  for entry in $1; do
    IFS=' ' read -r name address port <<< "$entry"
    [[ $address == *:* ]] && tool=ip6tables || tool=iptables
    gw_count_rule "$name" "$tool" -d "$address" -p udp --dport "$port"
  done
}
counted "$LOCAL"
counted "$LOOKUPS"
gw_count_rule tcp4 iptables -d "$LAN4" -p tcp --syn --dport 53
for address in "$PUBLIC4" "$GW_IP4" "$SERVER4"; do
  gw_count_rule "syn-$address" iptables -d "$address" -p tcp --syn --dport "$CONV_PORT"
done
gw_count_rule "syn-$SERVER6" ip6tables -d "$SERVER6" -p tcp --syn --dport "$CONV_PORT"
BEFORE=$(testbed_snapshot)

routed_write_config "$TESTBED_TMP/refused.json" zelmo_vpn-tun0
OUT=$(timeout -s KILL 20 "$LVH_HELPER" --lib "$LVH_ENGINE" --config "$TESTBED_TMP/refused.json" --allow-lan)
assert_eq "2 ERROR: --allow-lan requires --kill-switch|$BEFORE" "$? $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" \
  "--allow-lan without the kill switch is refused and changes nothing"

# The checks, each printing its outcome.
# sent ENTRIES: one datagram to each, through eth0 (as mDNS and SSDP senders
# pick their interface); the counts at the router, joined by "/".
sent() {
  local IFS='|' entry name address port counts=()
  gw_reset_counts
  for entry in $1; do
    IFS=' ' read -r name address port <<< "$entry"
    [[ $address == *:* ]] && address="[$address]"
    echo probe | socat -u - "UDP-SENDTO:$address:$port,so-bindtodevice=eth0,broadcast" 2>/dev/null
  done
  for entry in $1; do
    IFS=' ' read -r name address port <<< "$entry"
    [[ $address == *:* ]] && tool=ip6tables || tool=iptables
    counts+=("$(gw_count "$name" "$tool")")
  done
  IFS=/
  echo "${counts[*]}"
}
local_datagrams() { sent "$LOCAL"; }
# Lookups to the local resolver: a datagram per family, then a TCP connect.
lookups() {
  local counts
  counts=$(sent "$LOOKUPS")
  socat -u /dev/null "TCP4:$LAN4:53,connect-timeout=1" 2>/dev/null
  echo "$counts/$(gw_count tcp4 iptables)"
}
neighbours() { echo "$(seen "$LAN4") $(seen "$LAN6")"; }
ct_neighbours() { echo "$(ct_conv c1 "$LAN4" 2>&1 | tail -n 1) $(ct_conv c1 "$LAN6" 2>&1 | tail -n 1)"; }
# The public prefix made on-link, the test bed's own (public) LAN and the
# internet: where the conversations led, then the SYNs the router saw.
outside() {
  gw_reset_counts
  local led="$(seen "$PUBLIC4") $(seen "$GW_IP4") $(seen "$SERVER4") $(seen "$SERVER6")" address counts=()
  for address in "$PUBLIC4" "$GW_IP4" "$SERVER4"; do counts+=("$(gw_count "syn-$address" iptables)"); done
  counts+=("$(gw_count "syn-$SERVER6" ip6tables)")
  local IFS=/
  echo "$led ${counts[*]}"
}
ct_public() { ct_conv c1 "$PUBLIC4" 2>&1 | tail -n 1; }

phase_none() { :; }
phase_alone() { routed_start_helper --kill-switch || fail "READY with the kill switch"; }
phase_lan() {
  stop_helper
  routed_start_helper --kill-switch --allow-lan || fail "READY with --allow-lan ($(cat "$HELPER_ERR"))"
}
phase_gone() { ip link delete zelmo_vpn-tun0; }
phase_stopped() {
  stop_helper
  # The watch compared the chain and the table with what it lists: forms
  # it did not foresee would have been rebuilt with a line each time.
  assert_eq "0 STOPPED|" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")|$(grep 'INFO: restored' "$HELPER_OUT")" \
    "the run with --allow-lan stops, nothing restored meanwhile"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before the run"
}
phase_blocked() {
  run_to_end --block --allow-lan
  assert_eq "0 BLOCKED" "$STATUS $(tail -n 1 <<< "$OUT")" "--block --allow-lan"
}
phase_lockdown() {
  run_to_end --unblock
  routed_start_helper --kill-switch --allow-lan --lockdown || fail "READY with --lockdown ($(cat "$HELPER_ERR"))"
  stop_helper
  assert_eq "0 blocked|" "$HELPER_STATUS $(nft list table inet zelmo-vpn-block > /dev/null && echo blocked)|$(grep 'INFO: restored' "$HELPER_OUT")" \
    "the --lockdown run stops and leaves the block, nothing restored meanwhile"
}

N="192.168.77.2 fd77::2"
R4=$ROUTER_OUT4 R6=$ROUTER_OUT6 E4=$ENDPOINT4 E6=$ENDPOINT6
BLOCKED_OUTSIDE="refused refused refused refused 0/0/0/0"
# check | none | alone | lan | gone | stopped | blocked | lockdown
TABLE="
neighbours | $N | refused refused | $N | $N | $N | $N | $N
ct_neighbours | $N | refused refused | $N | $N | $N | $N | $N
local_datagrams | 1/1/1/1/1/1 | 0/0/0/0/0/0 | 1/1/1/1/1/1 | 1/1/1/1/1/1 | 1/1/1/1/1/1 | 1/1/1/1/1/1 | 1/1/1/1/1/1
lookups | 1/1/1 | 0/0/0 | 0/0/0 | 0/0/0 | 1/1/1 | 0/0/0 | 0/0/0
outside | 198.18.77.2 192.0.2.2 $R4 $R6 1/1/1/1 | refused refused $E4 $E6 0/0/0/0 | refused refused $E4 $E6 0/0/0/0 | $BLOCKED_OUTSIDE | 198.18.77.2 192.0.2.2 $R4 $R6 1/1/1/1 | $BLOCKED_OUTSIDE | $BLOCKED_OUTSIDE
ct_public | 198.18.77.2 | refused | refused | refused | 198.18.77.2 | refused | refused
"
column=1
for phase in none alone lan gone stopped blocked lockdown; do
  "phase_$phase"
  ks_check_column "$column" "$phase" "$TABLE"
  column=$((column + 1))
done
run_to_end --unblock
assert_eq "0 UNBLOCKED|$BEFORE" "$STATUS $(tail -n 1 <<< "$OUT")|$(testbed_snapshot)" "--unblock: host as before"
testbed_finish
