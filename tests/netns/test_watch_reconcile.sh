#!/bin/bash
# The watch while READY compares what the run wants for the network as it
# now is with what the host lists, and applies the difference: what the
# kernel drops without a word comes back, what is another's stays as it is,
# and where nothing is the helper's it does nothing. In the routed topology
# with the second router and the PPP-like uplink, one row per scenario: a
# change while READY, then outcomes (the address a server saw, counts at a
# router beside a control, what stays listed), polled for a while;
# then the end of the run, which must leave the host as the changed network
# was without the helper. LVH_ROWS="flap ppp" runs only those scenarios.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_second_router
routed_ppp_uplink
routed_rp_filter 2
APP=$(echo "reconcile$RANDOM$RANDOM" | cut -c1-15)
RESTART="$TESTBED_TMP/engine.restart"
gw_count_rule to_server4 iptables -d "$SERVER4"
gw_exec iptables -t raw -A PREROUTING -i pp0 -p icmp --icmp-type echo-request -m comment --comment echo_ppp
gw_count_rule stream6 ip6tables -p udp -d "$SERVER6" --dport 9
BEFORE=$(testbed_snapshot)

# Where each path leads (the address the server saw), and where it should.
paths() {
  printf '%s\n' "tunnel4=$(seen "$SERVER4")" "tunnel6=$(seen "$SERVER6")" \
    "endpoint4=$(seen "$ENDPOINT4")" "endpoint6=$(seen "$ENDPOINT6")" "bypass-prefix=$(seen "$BYPASS_HOST4")"
  [ -z "$POLICY" ] || echo "selected4=$(seen_by_app "$SERVER4")"
}
paths_want() {
  printf '%s\n' "tunnel4=$ENDPOINT4" "tunnel6=$ENDPOINT6" "endpoint4=$1" "endpoint6=$2" "bypass-prefix=$1"
  [ -z "$POLICY" ] || echo "selected4=$1"
}
told() { grep -c -x -F -- "$1" "$HELPER_OUT"; }

# Each scenario: _before (set up before the start), _change (while READY),
# _back (to the test bed's network again), _want and _got (the outcome
# lines); optionally _ready (a control at READY) and _control (after the
# end of the run). RUNNING is set while a helper runs.

# eth0 down and up in one burst: the IPv4 routes through it vanish unannounced.
flap_change() { testbed_flap; }
flap_want() { paths_want "$ROUTER_OUT4" "$ROUTER_OUT6"; }
flap_got() { paths; }

# The carrier lost for 2 s (the router's end of the link down: eth0 keeps
# its routes, marked linkdown) under a stream of IPv6 datagrams, counted
# from the carrier's return where they would leave physically (with what
# the host queued for the router meanwhile); without the helper they do
# (control). Said after READY: nothing, since the uplink stays the uplink.
carrier_change() {
  local streamer
  touch "$TESTBED_TMP/stream"
  (while [ -e "$TESTBED_TMP/stream" ]; do echo x 2> /dev/null > "/dev/udp/$SERVER6/9"; sleep 0.005; done) &
  streamer=$!
  sleep 0.5
  gw_exec ip link set gw0 down
  sleep 2
  gw_reset_counts
  gw_exec ip link set gw0 up
  # The router's address went with its link.
  gw_exec ip -6 addr replace "$GW_IP6/64" dev gw0 nodad
  # Long enough for the host to find the router again (its next neighbour
  # solicitation may be a second away).
  sleep 2.5
  rm "$TESTBED_TMP/stream"
  wait "$streamer"
  CARRIER_COUNT=$(gw_count stream6 ip6tables)
  [ -n "$RUNNING" ] || CARRIER_CONTROL=$CARRIER_COUNT
}
carrier_want() { echo "ipv6-at-router=0 told="; }
carrier_got() {
  echo "ipv6-at-router=$CARRIER_COUNT told=$(sed -n '/^READY$/,$p' "$HELPER_OUT" | grep -E '^INFO: default[46] ')"
}
carrier_control() {
  assert_at_least 1 "$CARRIER_CONTROL" "carrier: control: without the helper the stream reaches the router ($CARRIER_CONTROL datagrams)"
}

# The TUN device's addresses taken away and given back: told once each way,
# and the split routes stay.
addresses_change() {
  [ -n "$RUNNING" ] || return 0
  ip addr flush dev zelmo_vpn-tun0 scope global
  wait_until 5 test "$(told "INFO: tun device zelmo_vpn-tun0 has no IPv6 address")" = 1
  ADDRESSES_SPLIT=$(ip route show | grep -c '/1 dev zelmo_vpn-tun0 ')
  ip addr add 172.19.0.1/30 dev zelmo_vpn-tun0
  ip addr add fd00:66::1/64 dev zelmo_vpn-tun0 nodad
}
addresses_want() { echo "split-routes=2 told=1/1 1/1"; }
addresses_got() {
  echo "split-routes=$ADDRESSES_SPLIT told=$(told "INFO: tun device zelmo_vpn-tun0 has no IPv4 address")/$(told "INFO: tun device zelmo_vpn-tun0 has no IPv6 address")" \
    "$(told "INFO: tun device zelmo_vpn-tun0 has an IPv4 address again")/$(told "INFO: tun device zelmo_vpn-tun0 has an IPv6 address again")"
}

# Routes more specific than the split halves on the uplink, as a hostile
# DHCP option 121 pushes them: each told once, naming the route, also when
# it goes and comes back; a route on the link alone (the LAN) is no such.
AROUND=("0.0.0.0/2 via $GW_IP4 dev eth0" "1.0.0.0/8 via $GW_IP4 dev eth0" "2001:db8:99::/48 via $GW_IP6 dev eth0")
around_change() {
  local route
  for route in "${AROUND[@]}"; do ip route add $route; done
  ip route add 192.0.9.0/24 dev eth0
  sleep 1
  ip route del 1.0.0.0/8
  sleep 0.5
  ip route add ${AROUND[1]}
}
around_back() { ip route del 0.0.0.0/2; ip route del 1.0.0.0/8; ip -6 route del 2001:db8:99::/48; ip route del 192.0.9.0/24; }
around_want() {
  local route
  for route in "${AROUND[@]}"; do echo "1 INFO: route $route takes traffic around the tunnel"; done
}
around_got() { sed -n '/^READY$/,$p' "$HELPER_OUT" | grep '^INFO: route ' | sort | uniq -c | sed 's/^ *//'; }

# The engine restarts its device in one burst: a new device, without routes.
restart_change() {
  [ -z "$RUNNING" ] || { touch "$RESTART"; wait_until 5 test ! -e "$RESTART"; }
}
restart_want() {
  echo "tunnel4=$ENDPOINT4 to-router=0 told=1/1"
}
# From a moment after the restart on: probes to the server, counted where
# they would leave physically.
restart_got() {
  local i
  gw_reset_counts
  for i in $(seq 10); do udp_probe "$SERVER4" 9; done
  echo "tunnel4=$(seen "$SERVER4") to-router=$(gw_count to_server4 iptables)" \
    "told=$(told "INFO: tun device zelmo_vpn-tun0 is gone")/$(told "INFO: tun device zelmo_vpn-tun0 is back; its routes are installed")"
}
restart_control() {
  gw_reset_counts
  udp_probe "$SERVER4" 9
  assert_at_least 1 "$(gw_count to_server4 iptables)" "restart: control: without the helper a probe reaches the router"
}

# A multipath default route over both routers whose first next hop's link dies.
multipath_before() { second_network_link; multipath_default; }
multipath_ready() {
  assert_eq "$ROUTER_OUT4" "$(seen "$ENDPOINT4")" "multipath: control: at READY the endpoint goes through the first next hop"
}
multipath_change() { gw_exec ip link set gw0 down; }
multipath_back() { gw_exec ip link set gw0 up; leave_second_network; first_network_up; }
multipath_want() { paths_want "$ROUTER2_OUT4" "$ROUTER2_OUT6"; }
multipath_got() { paths; }

# A move onto the uplink without a gateway, in both families.
ppp_change() { first_network_down; ppp_uplink_default; }
ppp_back() { first_network_up; }
ppp_want() { paths_want "$ROUTER_OUT4" "$ROUTER_OUT6"; echo "ping=answered/1"; }
# A ping answered, and its echo request seen at the router's end of ppp0.
ppp_got() {
  paths
  gw_reset_counts
  echo "ping=$(ping_ok "$SERVER4" && echo answered || echo refused)/$(gw_count echo_ppp iptables)"
}

# A second uplink whose default route the user puts into table 100, with a
# rule of the user's that sends one server there; then a burst that makes
# the helper look at everything again.
TABLE100_TOLD="INFO: ICMP bypass not installed; routing table 100 holds routes of another owner"
table100_before() { ip addr add "$HOST2_IP4/24" dev eth1; ip link set eth1 up; }
table100_change() {
  printf '%s\n' "route replace default via $ROUTER2_IP4 dev eth1 table 100" \
    "rule add to $SERVER4 lookup 100 priority 50" | ip -batch -
  sleep 0.5
  testbed_flap
}
table100_back() { ip rule del priority 50; ip route flush table 100; leave_second_network; }
table100_want() {
  printf '%s\n' "user4=$ROUTER2_OUT4 tunnel6=$ENDPOINT6" "table100=default via $ROUTER2_IP4 dev eth1" "told=1"
}
table100_got() {
  printf '%s\n' "user4=$(seen "$SERVER4") tunnel6=$(seen "$SERVER6")" \
    "table100=$(ip -4 route show table 100 | xargs)" "told=$(told "$TABLE100_TOLD")"
}

# Another manager inserts rules at OUTPUT 1 for some seconds, while the
# kill switch's jump is put back again and again (a second apart at most).
MANAGER_RULES=300
inserter_change() {
  local i
  for i in $(seq "$MANAGER_RULES"); do
    iptables -I OUTPUT 1 -d 192.0.2.250/32 -m comment --comment "manager-$i" -j ACCEPT
    sleep 0.01
  done
}
inserter_back() { iptables -F OUTPUT; }
inserter_want() {
  printf '%s\n' "manager-rules=$MANAGER_RULES" "first=-A OUTPUT -j ZELMO_KILLSWITCH" "jumps=1" "repaired=yes"
}
inserter_got() {
  local listed
  listed=$(iptables -S OUTPUT)
  printf '%s\n' "manager-rules=$(grep -o -- '--comment manager-[0-9]*' <<< "$listed" | sort -u | wc -l)" \
    "first=$(grep '^-A' <<< "$listed" | head -n 1)" "jumps=$(grep -c -- '-j ZELMO_KILLSWITCH$' <<< "$listed")" \
    "repaired=$([ "$(told "INFO: restored kill switch jump (iptables)")" -ge 3 ] && echo yes || echo no)"
}

# The TUN device gone, then a move to the second network: nothing is tried
# on the device; the move itself is followed (the endpoint's path).
quiet_device_change() {
  ip link delete zelmo_vpn-tun0 2> /dev/null
  sleep 0.5
  first_network_down
  join_second_network
}
quiet_device_back() { leave_second_network; first_network_up; }
quiet_device_want() { echo "endpoint4=$ROUTER2_OUT4 noise=0"; }
quiet_device_got() {
  echo "endpoint4=$(seen "$ENDPOINT4") noise=$(grep -c -E 'Cannot find device|RTNETLINK' "$HELPER_ERR")"
}

# 50 rules added to a table the helper does not use make it run nothing;
# one added to a table it uses makes it look (the recorded commands).
# commands_settle: until no command was recorded for a second (10 s at most).
commands_settle() {
  local count try
  count=$(wc -l < "$RECORD")
  for try in $(seq 10); do
    sleep 1
    [ "$(wc -l < "$RECORD")" = "$count" ] && return 0
    count=$(wc -l < "$RECORD")
  done
}
quiet_raw_change() {
  local i count try
  [ -z "$RUNNING" ] || commands_settle
  count=$(wc -l < "$RECORD")
  for i in $(seq 50); do iptables -t raw -A PREROUTING -s "10.77.0.$i" -m comment --comment foreign -j ACCEPT; done
  sleep 2
  RAW_COMMANDS=$(($(wc -l < "$RECORD") - count))
  count=$(wc -l < "$RECORD")
  iptables -t mangle -A PREROUTING -s 10.78.0.1 -m comment --comment foreign -j ACCEPT
  for try in $(seq 50); do
    [ -z "$RUNNING" ] || [ "$(wc -l < "$RECORD")" != "$count" ] && break
    sleep 0.1
  done
  MANGLE_COMMANDS=$(($(wc -l < "$RECORD") - count))
}
quiet_raw_back() {
  iptables -t raw -F PREROUTING
  iptables -t mangle -D PREROUTING -s 10.78.0.1 -m comment --comment foreign -j ACCEPT
}
quiet_raw_want() { echo "for-raw=0 for-mangle=some"; }
quiet_raw_got() {
  echo "for-raw=$RAW_COMMANDS for-mangle=$([ "$MANGLE_COMMANDS" -ge 1 ] && echo some || echo none)"
}

# hook NAME: runs the function NAME when the scenario has it.
hook() { if declare -F "$1" > /dev/null; then "$1"; fi; }

# run_row SCENARIO KILL_SWITCH POLICY END ("" for STOPPED, or "kill" for a
# SIGKILL and the cleanup mode).
run_row() {
  local scenario=$1 ks=$2 end=$4 what want table deadline pause after
  POLICY=$3
  what="$scenario${ks:+, kill switch}${POLICY:+, $POLICY}${end:+, $end}"
  RUNNING= RECORD=/dev/null
  # The changed network without the helper: what the end must leave.
  hook "${scenario}_before"; "${scenario}_change"; after=$(testbed_snapshot)
  hook "${scenario}_back"; hook "${scenario}_before"
  RECORD="$TESTBED_TMP/$scenario.record"
  : > "$RECORD"
  LVH_RECORD_FILE="$RECORD" LVH_ENGINE_RESTART_FILE="$RESTART" routed_start_helper \
    --bypass-prefixes "$BYPASS_PREFIX4" ${ks:+--kill-switch} \
    ${POLICY:+--app-routing-policy "{\"enabled\":true,\"mode\":\"$POLICY\",\"apps\":[\"$APP\"]}"} ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  RUNNING=1
  hook "${scenario}_ready"
  "${scenario}_change"
  want=$("${scenario}_want")
  # Polled: a loaded machine may take seconds to converse again.
  deadline=$((SECONDS + 20)) pause=0
  until table=$(sleep "$pause"; "${scenario}_got"); [ "$table" = "$want" ] ||
    [ "$SECONDS" -ge "$deadline" ]; do pause=0.5; done
  assert_eq "$want" "$table" "$what: after the change"
  assert_eq "" "$(sed -n '/^READY$/,$p' "$HELPER_OUT" | grep -v -E '^(INFO: |READY$)')" \
    "$what: after READY, INFO lines only"
  if [ "$end" = kill ]; then
    stop_helper KILL
    run_helper --cleanup
    assert_eq "0 CLEANED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: cleaned"
  else
    stop_helper
    assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: stopped"
  fi
  RUNNING=
  assert_eq "$after" "$(testbed_snapshot)" "$what: the end leaves the changed network as it was"
  hook "${scenario}_control"
  hook "${scenario}_back"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$what: the test bed's network again"
}

ROWS=(
  "flap|on|bypassSelected|"
  "flap||bypassSelected|"
  "carrier|||"
  "addresses|||"
  "around|||"
  "restart|||"
  "multipath|||"
  "ppp|||"
  "table100|||"
  "table100|||kill"
  "inserter|on||"
  "quiet_device|||"
  "quiet_raw|||"
)
for row in "${ROWS[@]}"; do
  IFS='|' read -r scenario ks policy end <<< "$row"
  [ -z "${LVH_ROWS:-}" ] || [[ " $LVH_ROWS " == *" $scenario "* ]] || continue
  run_row "$scenario" "$ks" "$policy" "$end"
done
testbed_finish
