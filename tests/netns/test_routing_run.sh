#!/bin/bash
# A full run with the stand-in engine: the endpoint resolved through
# /etc/hosts to IPv4 and IPv6 addresses, a bypass list with duplicates and
# junk, IPv4 and IPv6 default routes. Checks the INFO lines, the routes
# while READY, and that after STOPPED the tables and rules are exactly as
# before.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routing.sh"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup --ipv6
rt_endpoint_hosts
CONFIG="$TESTBED_TMP/config.json"
rt_write_config "$CONFIG" lvhtun0 "$RT_ENDPOINT"
ks_prime_firewall_tables
BEFORE=$(testbed_snapshot)
ROUTES4_BEFORE=$(rt_routes4)
ROUTES6_BEFORE=$(rt_routes6)

RECORD="$TESTBED_TMP/run.record"
LVH_RECORD_FILE="$RECORD" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
  --bypass-prefixes "$RT_BYPASS_ARG"
wait_for_line READY && pass "the run reaches READY" || fail "READY (stderr: $(cat "$HELPER_ERR"))"

assert_eq "INFO: tun_name=lvhtun0
INFO: endpoint=$RT_ENDPOINT bypass4=[$RT_ENDPOINT_V4A,$RT_ENDPOINT_V4B] bypass6=[$RT_ENDPOINT_V6]
INFO: configured bypass4=[$RT_BYPASS_LIST]
INFO: default4 via=$GW_IP4 dev=eth0
INFO: default6 via=$GW_IP6 dev=eth0" "$(sed -n '/^INFO: tun_name=/,/^INFO: default6 /p' "$HELPER_OUT")" \
  "INFO lines: TUN name, endpoint addresses in resolver order, cleaned bypass list, default routes"
assert_eq "INFO: ip addr" "$(grep -o '^INFO: ip addr' "$HELPER_OUT")" "one INFO line with the TUN IPv4 addresses"
assert_contains "$(cat "$HELPER_OUT")" "lvhtun0    inet 172.19.0.1/30" "the TUN IPv4 address is shown"
assert_contains "$(grep -A3 '^INFO: ip -6 addr' "$HELPER_OUT")" "lvhtun0    inet6 fd00:66::1/64" \
  "the TUN IPv6 address is shown"
assert_eq "" "$(cat "$HELPER_ERR")" "nothing on standard error"

# Real routes while READY.
assert_eq "0.0.0.0/1 dev lvhtun0 scope link metric 5 
default via $GW_IP4 dev eth0 
10.20.0.0/16 via $GW_IP4 dev eth0 metric 3 
128.0.0.0/1 dev lvhtun0 scope link metric 5 
172.19.0.0/30 dev lvhtun0 proto kernel scope link src 172.19.0.1 
192.0.2.0/24 dev eth0 proto kernel scope link src $HOST_IP4 
192.168.77.0/24 via $GW_IP4 dev eth0 metric 3 
$RT_ENDPOINT_V4A via $GW_IP4 dev eth0 metric 3 
$RT_ENDPOINT_V4B via $GW_IP4 dev eth0 metric 3 " "$(rt_routes4)" "IPv4 routes while READY"
assert_eq "$RT_ENDPOINT_V6 via $GW_IP6 dev eth0 metric 3 pref medium
::/1 dev lvhtun0 metric 5 pref medium
8000::/1 dev lvhtun0 metric 5 pref medium
default via $GW_IP6 dev eth0 metric 1024 pref medium" "$(rt_routes6 | grep -v '^fd00:66::/64')" \
  "IPv6 routes while READY"
assert_eq "default via $GW_IP4 dev eth0 " "$(ip -4 route show table 100)" "ICMP bypass table while READY"
assert_eq "100:	from all fwmark 0x1 ipproto icmp lookup 100" "$(ip -4 rule show priority 100)" "ICMP bypass rule while READY"
assert_eq "-A OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-xmark 0x1/0xffffffff" \
  "$(iptables -t mangle -S OUTPUT | grep icmp)" \
  "ICMP marking rule while READY"
assert_eq "dev lvhtun0" "$(rt_route_get 93.184.216.34)" "arbitrary IPv4 traffic goes into the tunnel"
assert_eq "dev lvhtun0" "$(rt_route_get 2001:db8:77::1 -6)" "arbitrary IPv6 traffic goes into the tunnel"

stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "the run ends with STOPPED and status 0"

# The routing commands of the whole run, in order.
assert_eq "system: ip route replace 0.0.0.0/1 dev lvhtun0 metric 5
system: ip route replace 128.0.0.0/1 dev lvhtun0 metric 5
system: ip -6 route replace ::/1 dev lvhtun0 metric 5
system: ip -6 route replace 8000::/1 dev lvhtun0 metric 5
system: ip route replace 10.20.0.0/16 via $GW_IP4 dev eth0 metric 3
system: ip route replace 192.168.77.0/24 via $GW_IP4 dev eth0 metric 3
system: ip route replace $RT_ENDPOINT_V4A/32 via $GW_IP4 dev eth0 metric 3
system: ip route replace $RT_ENDPOINT_V4B/32 via $GW_IP4 dev eth0 metric 3
system: ip -6 route replace $RT_ENDPOINT_V6/128 via $GW_IP6 dev eth0 metric 3
popen: ip route show table 100 2>/dev/null
popen: ip rule show fwmark 0x1 lookup 100 priority 100 2>/dev/null
system: ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100
system: ip route replace default via $GW_IP4 dev eth0 table 100
system: iptables -t mangle -C OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-mark 1 >/dev/null 2>&1
system: iptables -t mangle -A OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-mark 1
system: iptables -t nat -C POSTROUTING -o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j MASQUERADE >/dev/null 2>&1 || iptables -t nat -A POSTROUTING -o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j MASQUERADE
popen: ip -o addr show dev lvhtun0
popen: ip -6 -o addr show dev lvhtun0
system: iptables -t mangle -D OUTPUT -p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-mark 1 >/dev/null 2>&1
system: iptables -t mangle -D OUTPUT -p icmp -j MARK --set-mark 1 >/dev/null 2>&1
popen: ip route show table 100 2>/dev/null
system: ip rule del fwmark 0x1 ipproto icmp lookup 100 priority 100 >/dev/null 2>&1
system: ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1
system: ip route del default table 100 >/dev/null 2>&1
system: iptables -t nat -D POSTROUTING -o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j MASQUERADE >/dev/null 2>&1
system: ip route del 0.0.0.0/1 dev lvhtun0 metric 5
system: ip route del 128.0.0.0/1 dev lvhtun0 metric 5
system: ip -6 route del ::/1 dev lvhtun0 metric 5
system: ip -6 route del 8000::/1 dev lvhtun0 metric 5
system: ip route del $RT_ENDPOINT_V4A/32 via $GW_IP4 dev eth0 metric 3
system: ip route del $RT_ENDPOINT_V4B/32 via $GW_IP4 dev eth0 metric 3
system: ip -6 route del $RT_ENDPOINT_V6/128 via $GW_IP6 dev eth0 metric 3
system: ip route del 10.20.0.0/16 via $GW_IP4 dev eth0 metric 3 >/dev/null 2>&1
system: ip route del 192.168.77.0/24 via $GW_IP4 dev eth0 metric 3 >/dev/null 2>&1" \
  "$(grep -E 'lvhtun0|table 100|fwmark 0x1|-p icmp|metric 3|via .* dev eth0( >|$)' "$RECORD")" \
  "routing commands of the run in order: install, ICMP bypass, TUN addresses, then removal"

assert_eq "$ROUTES4_BEFORE" "$(rt_routes4)" "IPv4 routes as before after STOPPED"
assert_eq "$ROUTES6_BEFORE" "$(rt_routes6)" "IPv6 routes as before after STOPPED"
assert_eq "$BEFORE" "$(testbed_snapshot)" "all tables, rules, firewall and links exactly as before"

# --- No IPv6 default route, endpoint given as an IPv4 literal
ip -6 route del default
BEFORE=$(testbed_snapshot)
rt_write_config "$CONFIG" lvhtun1 203.0.113.77
start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --bypass-prefixes ""
wait_for_line READY && pass "a run without IPv6 default route reaches READY" || fail "READY without IPv6"
assert_eq "INFO: tun_name=lvhtun1
INFO: endpoint=203.0.113.77 bypass4=[203.0.113.77] bypass6=[]
INFO: configured bypass4=[]
INFO: default4 via=$GW_IP4 dev=eth0
INFO: default6 missing" "$(sed -n '/^INFO: tun_name=/,/^INFO: default6 /p' "$HELPER_OUT")" \
  "INFO lines without IPv6 default route and with a literal endpoint"
assert_eq "" "$(rt_routes6 | grep -v '^fd00:66::/64')" "no IPv6 route is installed without an IPv6 default route"
assert_eq "via $GW_IP4 dev eth0" "$(rt_route_get 203.0.113.77)" "the literal endpoint stays on the physical path"
stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "second run ends with STOPPED"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host exactly as before the second run"

# --- A TUN name with shell syntax that the kernel still accepts as a device
# name: the run goes on without tunnel routes and nothing reaches the shell.
ip -6 route add default via "$GW_IP6" dev eth0
BEFORE=$(testbed_snapshot)
rt_write_config "$CONFIG" 'lt;>planted' "$RT_ENDPOINT"
cd "$TESTBED_TMP" || exit 1
LVH_RECORD_FILE="$TESTBED_TMP/unsafe.record" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP" --bypass-prefixes 10.20.0.0/16
cd / || exit 1
wait_for_line READY && pass "a run with an unsafe TUN name reaches READY" || fail "READY with unsafe name"
assert_eq "RTNETLINK: failed to install routes for unsafe TUN interface name" "$(cat "$HELPER_ERR")" \
  "the unsafe TUN name is reported once on standard error"
assert_contains "$(cat "$HELPER_OUT")" "INFO: tun_name=lt;>planted" "the name is shown as found"
assert_not_contains "$(cat "$HELPER_OUT")" "INFO: ip addr" "no address diagnostics for an unsafe name"
assert_not_contains "$(cat "$TESTBED_TMP/unsafe.record")" "lt;" "the unsafe name is in no command"
assert_eq "default via $GW_IP4 dev eth0 " "$(ip -4 route show table 100)" "the ICMP bypass is still installed"
assert_eq "via $GW_IP4 dev eth0" "$(rt_route_get 93.184.216.34)" "no split routes: traffic keeps the physical path"
stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "the unsafe-name run ends with STOPPED"
[ -e "$TESTBED_TMP/planted" ] && fail "the unsafe name ran as a command" || pass "the unsafe name never ran"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host exactly as before the unsafe-name run"

# --- The user's own routes to the endpoint and to a bypass prefix (metric
# 0, below the helper's 3) survive a run, and a killed run's cleanup.
ip route add "$RT_ENDPOINT_V4A" via "$GW_IP4" dev eth0
ip route add 10.20.0.0/16 via "$GW_IP4" dev eth0
ip -6 route add "$RT_ENDPOINT_V6" via "$GW_IP6" dev eth0
rt_write_config "$CONFIG" qtun5 "$RT_ENDPOINT"
BEFORE=$(testbed_snapshot)
start_user_routes_run() {
  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" --bypass-prefixes 10.20.0.0/16
  wait_for_line READY || fail "READY beside the user's own routes"
}
start_user_routes_run
stop_helper
assert_eq "$BEFORE" "$(testbed_snapshot)" "after STOPPED the user's own routes are still there"
start_user_routes_run
stop_helper KILL
run_helper --cleanup
# The helper's IPv6 endpoint route, metric 3 via the IPv6 default route,
# goes too; the user's own route to the same address stays.
assert_eq "$BEFORE" "$(testbed_snapshot)" "after a kill and the cleanup the user's own routes are still there"

testbed_finish
