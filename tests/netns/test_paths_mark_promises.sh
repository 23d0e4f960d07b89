#!/bin/bash
# What a mark promises holds by itself, in the routed topology, each zero
# at the router beside a positive control on the same counter:
# - a vpnOnlySelected program's ping goes through the tunnel, with and
#   without the kill switch, and with its policy rules deleted in both
#   families while READY its TCP and UDP reach no router; under the kill
#   switch neither do they with the app guard gone as well;
# - the ICMP bypass carries the host's own pings (answered under rp_filter
#   0, 1 and 2) but neither an ICMP error about a flow that came through the
#   tunnel nor the reply to a ping that did;
# - another program that marks its own packets 1 keeps its TCP and UDP in
#   the tunnel, also under the kill switch, while pings go around;
# - routing table 100 holding a route of someone else's is left alone.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
APP=$(echo "markapp$RANDOM$RANDOM" | cut -c1-15)
UDP_PORT=7001
gw_count_rule echo4 iptables -p icmp --icmp-type echo-request
gw_count_rule error4 iptables -p icmp --icmp-type destination-unreachable
gw_count_rule reply4 iptables -p icmp --icmp-type echo-reply
gw_count_rule syn4 iptables -p tcp --syn -d "$SERVER4" --dport "$CONV_PORT"
gw_count_rule syn6 ip6tables -p tcp --syn -d "$SERVER6" --dport "$CONV_PORT"
gw_count_rule udp4 iptables -p udp -d "$SERVER4" --dport "$UDP_PORT"
gw_count_rule udp6 ip6tables -p udp -d "$SERVER6" --dport "$UDP_PORT"
# ICMP errors the host sends into the tunnel, where the VPN server reads them.
vpn_exec iptables -t raw -A PREROUTING -i tunsrv0 -p icmp --icmp-type destination-unreachable
tunnel_errors() { vpn_exec iptables -t raw -nvxL PREROUTING | awk '/tunsrv0/ { print $1 }'; }
# Datagrams to the server's UDP port that reached the internet.
inet_exec iptables -t raw -A PREROUTING -p udp -d "$SERVER4" --dport "$UDP_PORT" -m comment --comment probe4
probes_arrived() { inet_exec iptables -t raw -nvxL PREROUTING | awk '/probe4/ { print $1 }'; }
# The internet reaches the host's tunnel address through the VPN server.
TUN_ADDRESS4=172.19.0.1
inet_exec ip route add "$TUN_ADDRESS4/32" via "$ENDPOINT4"
BEFORE=$(testbed_snapshot)

pinged() { "$@" > /dev/null 2>&1 && echo answered || echo refused; }
leaks() {
  echo "$(gw_count syn4 iptables)/$(gw_count syn6 ip6tables)/$(gw_count udp4 iptables)/$(gw_count udp6 ip6tables)"
}
# Every kind of traffic the selected program may not send physically.
selected_traffic() {
  local address
  for address in "$SERVER4" "$SERVER6"; do
    run_as_app "$APP" "$CONVERSATION" ask "$address" "$CONV_PORT" > /dev/null 2>&1
    run_as_app "$APP" bash -c "$(declare -f udp_probe); udp_probe $address $UDP_PORT"
  done
}

for ks in "" on; do
  what="vpnOnlySelected${ks:+, kill switch}"
  routed_start_helper ${ks:+--kill-switch} \
    --app-routing-policy "{\"enabled\":true,\"mode\":\"vpnOnlySelected\",\"apps\":[\"$APP\"]}" ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  gw_reset_counts
  assert_eq "answered 0" "$(pinged run_as_app "$APP" ping -c 1 -W 5 "$SERVER4") $(gw_count echo4 iptables)" \
    "$what: the selected program's ping is answered through the tunnel, none at the router"
  ping -c 1 -W 2 "$ENDPOINT4" > /dev/null 2>&1
  assert_eq 1 "$(gw_count echo4 iptables)" "$what: an unselected ping reaches the router"

  assert_eq "$ENDPOINT4 $ENDPOINT6" \
    "$(run_as_app "$APP" "$CONVERSATION" ask "$SERVER4" "$CONV_PORT") $(run_as_app "$APP" "$CONVERSATION" ask "$SERVER6" "$CONV_PORT")" \
    "$what: the selected program's conversations go through the tunnel"
  ip rule del fwmark 0x66 lookup 1067
  ip -6 rule del fwmark 0x66 lookup 1067
  gw_reset_counts
  selected_traffic
  assert_eq "0/0/0/0" "$(leaks)" "$what, policy rules deleted: the selected program's TCP and UDP reach no router"
  if [ -n "$ks" ]; then
    # The watch held still while the policy rules and the app guard's jumps
    # are gone: the kill switch's table alone keeps the program in. The
    # program is in its group before the helper (its monitor too) stops.
    rm -f "$TESTBED_TMP/go"
    run_as_app "$APP" bash -c "until [ -e $TESTBED_TMP/go ]; do sleep 0.05; done
      $(declare -f udp_probe)
      for address in $SERVER4 $SERVER6; do
        $CONVERSATION ask \$address $CONV_PORT 2>&1 | tail -n 1; udp_probe \$address $UDP_PORT
      done" > "$TESTBED_TMP/runner.out" &
    runner=$!
    wait_until 10 grep -qx "0::$APP_ROUTING_CGROUP" /proc/$runner/cgroup
    kill -STOP "$HELPER_PID"
    ip rule del fwmark 0x66 lookup 1067
    ip -6 rule del fwmark 0x66 lookup 1067
    iptables -t mangle -D POSTROUTING -m mark --mark 0x66 -m comment --comment zelmo-vpn-app-guard -j ZELMO_APP_GUARD
    ip6tables -t mangle -D POSTROUTING -m mark --mark 0x66 -m comment --comment zelmo-vpn-app-guard -j ZELMO_APP_GUARD
    gw_reset_counts
    touch "$TESTBED_TMP/go"
    wait "$runner"
    # Both conversations were tried (each has an outcome), and none left.
    assert_eq "0/0/0/0 2" "$(leaks) $(wc -l < "$TESTBED_TMP/runner.out")" \
      "$what, policy rules and app guard gone: the selected program's TCP and UDP reach no router"
    kill -CONT "$HELPER_PID"
  fi
  stop_helper
  gw_reset_counts
  conv "$SERVER4" > /dev/null; conv "$SERVER6" > /dev/null
  udp_probe "$SERVER4" "$UDP_PORT"; udp_probe "$SERVER6" "$UDP_PORT"
  assert_eq "1/1/1/1" "$(leaks)" "$what: after the run the same counters count"
done

for rp in 0 1 2; do
  routed_rp_filter "$rp"
  routed_start_helper || fail "rp_filter $rp: READY ($(cat "$HELPER_ERR"))"
  gw_reset_counts
  vpn_exec iptables -t raw -Z PREROUTING
  inet_exec iptables -t raw -Z PREROUTING
  assert_eq "answered 1" "$(pinged ping_ok "$SERVER4") $(gw_count echo4 iptables)" \
    "rp_filter $rp: a ping through the bypass is answered"
  # A UDP flow through the tunnel whose socket is closed when the answer
  # comes: the host's port-unreachable belongs to the tunnel's flow.
  udp_probe "$SERVER4" "$UDP_PORT" $((40000 + rp))
  # The answer only once the probe has passed the VPN server's source NAT,
  # which maps the answer back into the tunnel; the error then comes back
  # through two namespaces and the engine's thread: waited for, then
  # counted where it must and where it must not be.
  wait_until 10 eval '[ "$(probes_arrived)" != 0 ]'
  inet_exec socat -u - "UDP-SENDTO:$ENDPOINT4:$((40000 + rp)),bind=$SERVER4:$UDP_PORT" <<< answer
  wait_until 10 eval '[ "$(tunnel_errors)" != 0 ]'
  assert_eq "1 0" "$(tunnel_errors) $(gw_count error4 iptables)" \
    "rp_filter $rp: the error about a tunnel flow enters the tunnel, none at the router"
  assert_eq "answered 0" "$(pinged inet_exec ping -c 1 -W 5 "$TUN_ADDRESS4") $(gw_count reply4 iptables)" \
    "rp_filter $rp: a ping that came through the tunnel is answered through it, none at the router"
  gw_exec bash -c "echo probe > /dev/udp/$HOST_IP4/9"
  gw_exec ping -c 1 -W 2 "$HOST_IP4" > /dev/null
  wait_until 10 eval '[ "$(gw_count error4 iptables)" != 0 ]'
  assert_eq "1/1" "$(gw_count error4 iptables)/$(gw_count reply4 iptables)" \
    "rp_filter $rp: an error and a reply about physical flows reach the router"
  stop_helper
done

# Another program's mark 1 (SO_MARK): its TCP and UDP take the tunnel (the
# server sees the VPN server's address, the router counts nothing), with
# and without the kill switch; pings still go around it, and under the
# kill switch only towards a bypass prefix, as before.
marked_udp() {
  echo probe | socat -u - "UDP-SENDTO:$SERVER4:$UDP_PORT,setsockopt-int=1:36:1" 2>/dev/null
  wait_until 5 eval '[ "$(probes_arrived)" != 0 ]'
}
# "TCP UDP-at-router/UDP-arrived ping-to-server ping-to-bypass-host"
marked_traffic() {
  gw_reset_counts
  inet_exec iptables -t raw -Z PREROUTING
  local tcp
  tcp=$("$CONVERSATION" ask "$SERVER4" "$CONV_PORT" --mark 1 2>&1 | tail -n 1)
  marked_udp
  echo "$tcp $(gw_count udp4 iptables)/$(probes_arrived) $(pinged ping -m 1 -c 1 -W 2 "$SERVER4")" \
    "$(pinged ping -m 1 -c 1 -W 2 "$BYPASS_HOST4")"
}
for ks in "" on; do
  what="another program's mark 1${ks:+, kill switch}"
  routed_start_helper ${ks:+--kill-switch} --bypass-prefixes "$BYPASS_PREFIX4" ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  expected="$ENDPOINT4 0/1 answered answered"
  [ -n "$ks" ] && expected="$ENDPOINT4 0/1 refused answered"
  assert_eq "$expected" "$(marked_traffic)" "$what: TCP and UDP through the tunnel, pings around it"
  gw_reset_counts
  ping_ok "$SERVER4"
  assert_eq "$([ -n "$ks" ] && echo 0 || echo 1)" "$(gw_count echo4 iptables)" \
    "$what: the router sees a ping to the server${ks:+ no more: refused}"
  # The bypass's rule as an earlier version left it, for every protocol:
  # the watch takes it for the bypass's and leaves the narrow one alone.
  ip rule add fwmark 0x1 lookup 100 priority 100
  wait_until 10 eval '[ "$(ip -4 rule show priority 100)" = "100:	from all fwmark 0x1 ipproto icmp lookup 100" ]' &&
    pass "$what: the older rule is replaced while READY" || fail "$what: the older rule is replaced while READY"
  stop_helper
done
assert_eq "$ROUTER_OUT4 1/1 answered answered" "$(marked_traffic)" \
  "without the helper the marked traffic takes the router, counted there"

# Table 100 with a route and a rule of another owner: no bypass, one INFO
# line, and teardown and the cleanup mode leave both.
ip route add 10.99.0.0/24 via "$GW_IP4" dev eth0 table 100
ip rule add fwmark 0x1 lookup 100 priority 100
OWNED=$(testbed_snapshot)
routed_start_helper || fail "table 100 in use: READY ($(cat "$HELPER_ERR"))"
assert_contains "$(cat "$HELPER_OUT")" \
  "INFO: ICMP bypass not installed; routing table 100 holds routes of another owner" \
  "table 100 in use: the bypass is skipped with its INFO line"
assert_eq "10.99.0.0/24 via $GW_IP4 dev eth0 " "$(ip route show table 100)" "table 100 in use: untouched while READY"
stop_helper
run_helper --cleanup
assert_eq "$OWNED" "$(testbed_snapshot)" "table 100 in use: teardown and cleanup leave table and rule"
ip rule del fwmark 0x1 lookup 100 priority 100
ip route del 10.99.0.0/24 table 100

routed_rp_filter 2
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before every run"
testbed_finish
