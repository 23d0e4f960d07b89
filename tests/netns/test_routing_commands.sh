#!/bin/bash
# Split, bypass and ICMP bypass routes with real ip and iptables: the exact
# command texts and their order for representative argument sets, the
# routes they leave, the failure messages, and unsafe values that never
# reach the shell.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routing.sh"
testbed_setup --ipv6
ip tuntap add dev tun0 mode tun
ip link set tun0 up
# Touching the mangle table once makes it exist, so the snapshots compare the
# rules in it rather than whether it was ever used.
iptables -t mangle -N lvh-touch && iptables -t mangle -X lvh-touch
BEFORE=$(testbed_snapshot)

GW4=$GW_IP4
GW6=$GW_IP6
FULL_ARGS=(tun0 vpn.example.test "$GW4" eth0 "$GW6" eth0 198.51.100.7,198.51.100.8 2001:db8:99::7
  10.0.0.0/8,172.16.0.0/12)

# --- IPv6 present, two prefixes, two IPv4 endpoint addresses, one IPv6
rt_driver apply "${FULL_ARGS[@]}"
assert_eq "system: ip route replace 0.0.0.0/1 dev tun0 metric 5
system: ip route replace 128.0.0.0/1 dev tun0 metric 5
system: ip -6 route replace ::/1 dev tun0 metric 5
system: ip -6 route replace 8000::/1 dev tun0 metric 5
system: ip route replace 10.0.0.0/8 via $GW4 dev eth0 metric 3
system: ip route replace 172.16.0.0/12 via $GW4 dev eth0 metric 3
system: ip route replace 198.51.100.7/32 via $GW4 dev eth0 metric 3
system: ip route replace 198.51.100.8/32 via $GW4 dev eth0 metric 3
system: ip -6 route replace 2001:db8:99::7/128 via $GW6 dev eth0 metric 3" "$RT_COMMANDS" \
  "apply: split routes, then prefixes, then endpoint addresses, in list order"
assert_eq "" "$RT_ERR" "apply: nothing on standard error when every command succeeds"
EXPECTED_ROUTES4="0.0.0.0/1 dev tun0 scope link metric 5 
default via $GW4 dev eth0 
10.0.0.0/8 via $GW4 dev eth0 metric 3 
128.0.0.0/1 dev tun0 scope link metric 5 
172.16.0.0/12 via $GW4 dev eth0 metric 3 
192.0.2.0/24 dev eth0 proto kernel scope link src $HOST_IP4 
198.51.100.7 via $GW4 dev eth0 metric 3 
198.51.100.8 via $GW4 dev eth0 metric 3 "
assert_eq "$EXPECTED_ROUTES4" "$(rt_routes4)" "apply: the IPv4 table holds exactly the split and bypass routes"
EXPECTED_ROUTES6="2001:db8:99::7 via $GW6 dev eth0 metric 3 pref medium
::/1 dev tun0 metric 5 pref medium
8000::/1 dev tun0 metric 5 pref medium
default via $GW6 dev eth0 metric 1024 pref medium"
assert_eq "$EXPECTED_ROUTES6" "$(rt_routes6)" "apply: the IPv6 table holds the split and endpoint routes"
assert_eq "dev tun0" "$(rt_route_get 93.184.216.34)" "an arbitrary IPv4 address is routed into the tunnel"
assert_eq "via $GW4 dev eth0" "$(rt_route_get 10.9.8.7)" "a bypass prefix stays on the physical path"
assert_eq "via $GW4 dev eth0" "$(rt_route_get 198.51.100.8)" "the endpoint stays on the physical path"
assert_eq "dev tun0" "$(rt_route_get 2001:db8:77::1 -6)" "an arbitrary IPv6 address is routed into the tunnel"
assert_eq "via $GW6 dev eth0" "$(rt_route_get 2001:db8:99::7 -6)" "the IPv6 endpoint stays on the physical path"

# The tunnel's 0.0.0.0/1 is listed before the real default route; the
# default route reader must still find the physical one.
assert_eq "via=$GW4 dev=eth0" "$("$ROUTING_DRIVER" default4)" "IPv4 default route read past the tunnel's 0.0.0.0/1"
assert_eq "via=$GW6 dev=eth0" "$("$ROUTING_DRIVER" default6)" "IPv6 default route read with the split routes up"

rt_driver apply "${FULL_ARGS[@]}"
assert_eq "$EXPECTED_ROUTES4" "$(rt_routes4)" "applying twice leaves one IPv4 route per destination"
assert_eq "$EXPECTED_ROUTES6" "$(rt_routes6)" "applying twice leaves one IPv6 route per destination"

rt_driver cleanup "${FULL_ARGS[@]}"
assert_eq "system: ip route del 0.0.0.0/1 dev tun0 metric 5
system: ip route del 128.0.0.0/1 dev tun0 metric 5
system: ip -6 route del ::/1 dev tun0 metric 5
system: ip -6 route del 8000::/1 dev tun0 metric 5
system: ip route del 198.51.100.7/32 via $GW4 dev eth0 metric 3
system: ip route del 198.51.100.8/32 via $GW4 dev eth0 metric 3
system: ip -6 route del 2001:db8:99::7/128 via $GW6 dev eth0 metric 3
system: ip route del 10.0.0.0/8 via $GW4 dev eth0 metric 3 >/dev/null 2>&1
system: ip route del 172.16.0.0/12 via $GW4 dev eth0 metric 3 >/dev/null 2>&1" "$RT_COMMANDS" \
  "cleanup: split routes, then endpoint addresses, then prefixes"
assert_eq "" "$RT_ERR" "cleanup of installed routes reports nothing"
assert_eq "$BEFORE" "$(testbed_snapshot)" "cleanup restores the host exactly"

# --- No IPv6 default route, or one without a gateway: IPv6 stays untouched
for default6 in "|" "$GW6|"; do
  rt_driver apply tun0 vpn.example.test "$GW4" eth0 "${default6%|*}" "${default6#*|}" 198.51.100.7 \
    2001:db8:99::7 10.0.0.0/8
  assert_eq "system: ip route replace 0.0.0.0/1 dev tun0 metric 5
system: ip route replace 128.0.0.0/1 dev tun0 metric 5
system: ip route replace 10.0.0.0/8 via $GW4 dev eth0 metric 3
system: ip route replace 198.51.100.7/32 via $GW4 dev eth0 metric 3" "$RT_COMMANDS" \
    "apply with IPv6 default '$default6': no IPv6 split or endpoint routes"
  assert_eq "default via $GW6 dev eth0 metric 1024 pref medium" "$(rt_routes6)" \
    "apply with IPv6 default '$default6': IPv6 table untouched"
  rt_driver cleanup tun0 vpn.example.test "$GW4" eth0 "${default6%|*}" "${default6#*|}" 198.51.100.7 \
    2001:db8:99::7 10.0.0.0/8
  assert_eq "system: ip route del 0.0.0.0/1 dev tun0 metric 5
system: ip route del 128.0.0.0/1 dev tun0 metric 5
system: ip -6 route del ::/1 dev tun0 metric 5
system: ip -6 route del 8000::/1 dev tun0 metric 5
system: ip route del 198.51.100.7/32 via $GW4 dev eth0 metric 3
system: ip route del 10.0.0.0/8 via $GW4 dev eth0 metric 3 >/dev/null 2>&1" "$RT_COMMANDS" \
    "cleanup with IPv6 default '$default6': IPv6 split deletions still run"
  assert_eq 2 "$(grep -c . <<< "$RT_ERR")" "cleanup: the two failing IPv6 deletions show ip's own diagnostics"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "cleanup with IPv6 default '$default6' restores the host"
done

# --- No IPv4 default route: split routes only
rt_driver apply tun0 vpn.example.test "" "" "" "" 198.51.100.7 "" 10.0.0.0/8
assert_eq "system: ip route replace 0.0.0.0/1 dev tun0 metric 5
system: ip route replace 128.0.0.0/1 dev tun0 metric 5" "$RT_COMMANDS" \
  "apply without IPv4 default route: split routes only"
rt_driver cleanup tun0 vpn.example.test "" "" "" "" 198.51.100.7 "" 10.0.0.0/8
assert_eq "$BEFORE" "$(testbed_snapshot)" "cleanup without default routes restores the host"

# --- Empty TUN name: nothing at apply; endpoint and prefix deletions at cleanup
rt_driver apply "" vpn.example.test "$GW4" eth0 "$GW6" eth0 198.51.100.7 2001:db8:99::7 10.0.0.0/8
assert_eq "" "$RT_COMMANDS" "apply with empty TUN name runs no command"
assert_eq "" "$RT_ERR" "apply with empty TUN name prints nothing"
rt_driver cleanup "" vpn.example.test "$GW4" eth0 "$GW6" eth0 198.51.100.7 2001:db8:99::7 10.0.0.0/8
assert_eq "system: ip route del 198.51.100.7/32 via $GW4 dev eth0 metric 3
system: ip -6 route del 2001:db8:99::7/128 via $GW6 dev eth0 metric 3
system: ip route del 10.0.0.0/8 via $GW4 dev eth0 metric 3 >/dev/null 2>&1" "$RT_COMMANDS" \
  "cleanup with empty TUN name skips only the split deletions"

# --- Unsafe TUN name: never reaches the shell
PLANTED="$TESTBED_TMP/planted"
UNSAFE="tun0;touch $PLANTED"
rt_driver apply "$UNSAFE" vpn.example.test "$GW4" eth0 "$GW6" eth0 198.51.100.7 "" 10.0.0.0/8
assert_eq "" "$RT_COMMANDS" "apply with unsafe TUN name runs no command"
assert_eq "RTNETLINK: failed to install routes for unsafe TUN interface name" "$RT_ERR" \
  "apply with unsafe TUN name reports it in one line"
rt_driver cleanup "$UNSAFE" vpn.example.test "$GW4" eth0 "$GW6" eth0 198.51.100.7 "" 10.0.0.0/8
assert_eq "system: ip route del 198.51.100.7/32 via $GW4 dev eth0 metric 3
system: ip route del 10.0.0.0/8 via $GW4 dev eth0 metric 3 >/dev/null 2>&1" "$RT_COMMANDS" \
  "cleanup treats an unsafe TUN name as empty"
rt_driver apply "$(printf 'tun%0126d' 0)" "" "" "" "" "" "" "" ""
assert_eq "RTNETLINK: failed to install routes for unsafe TUN interface name" "$RT_ERR" \
  "a TUN name of 129 bytes is refused"
[ -e "$PLANTED" ] && fail "the unsafe name ran a command" || pass "the unsafe name ran no command"

# --- Unsafe default route words count as no default route
rt_driver apply tun0 vpn.example.test "$GW4" 'eth0;reboot' "$GW6" 'eth0 x' 198.51.100.7 2001:db8:99::7 \
  10.0.0.0/8
assert_eq "system: ip route replace 0.0.0.0/1 dev tun0 metric 5
system: ip route replace 128.0.0.0/1 dev tun0 metric 5" "$RT_COMMANDS" \
  "default routes with unsafe devices are treated as absent"
rt_driver cleanup tun0 vpn.example.test "$GW4" 'eth0;reboot' "$GW6" 'eth0 x' 198.51.100.7 \
  2001:db8:99::7 10.0.0.0/8
assert_not_contains "$RT_COMMANDS" "reboot" "cleanup never places an unsafe device into a command"

# --- Empty endpoint host: no endpoint routes, whatever the address lists hold
rt_driver apply tun0 "" "$GW4" eth0 "$GW6" eth0 198.51.100.7 2001:db8:99::7 10.0.0.0/8
assert_not_contains "$RT_COMMANDS" "198.51.100.7" "apply with empty endpoint installs no IPv4 endpoint route"
assert_not_contains "$RT_COMMANDS" "2001:db8:99::7" "apply with empty endpoint installs no IPv6 endpoint route"
assert_contains "$RT_COMMANDS" "ip route replace 10.0.0.0/8 via $GW4 dev eth0 metric 3" \
  "apply with empty endpoint still installs the prefix routes"
rt_driver cleanup tun0 "" "$GW4" eth0 "$GW6" eth0 198.51.100.7 2001:db8:99::7 10.0.0.0/8
assert_eq "system: ip route del 0.0.0.0/1 dev tun0 metric 5
system: ip route del 128.0.0.0/1 dev tun0 metric 5
system: ip -6 route del ::/1 dev tun0 metric 5
system: ip -6 route del 8000::/1 dev tun0 metric 5
system: ip route del 10.0.0.0/8 via $GW4 dev eth0 metric 3 >/dev/null 2>&1" "$RT_COMMANDS" \
  "cleanup with empty endpoint deletes no endpoint route"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host restored after the empty-endpoint run"

# --- Failures: the raw status in the split message, the rest still runs
LVH_FAIL_COMMAND="ip route replace 0.0.0.0/1 dev tun0 metric 5" rt_driver apply "${FULL_ARGS[@]}"
assert_eq "RTNETLINK: failed to install default split routes (code=512,0)" "$RT_ERR" \
  "a failing first split route reports the codes 512 and 0"
assert_eq 9 "$(grep -c '^system: ' <<< "$RT_COMMANDS")" "a failed command does not stop the sequence"
assert_eq "dev tun0" "$(rt_route_get 200.1.1.1)" "the second split route is in place"
LVH_FAIL_COMMAND="ip -6 route replace 8000::/1 dev tun0 metric 5" rt_driver apply "${FULL_ARGS[@]}"
assert_eq "RTNETLINK: failed to install IPv6 split routes (code=0,512)" "$RT_ERR" \
  "a failing second IPv6 split route reports the codes 0 and 512"
LVH_FAIL_COMMAND="ip route replace 198.51.100.8/32 via $GW4 dev eth0 metric 3" rt_driver apply "${FULL_ARGS[@]}"
assert_eq "RTNETLINK: failed to install IPv4 bypass route for 198.51.100.8" "$RT_ERR" \
  "a failing endpoint route names the address without /32"
LVH_FAIL_COMMAND="ip -6 route replace 2001:db8:99::7/128 via $GW6 dev eth0 metric 3" rt_driver apply "${FULL_ARGS[@]}"
assert_eq "RTNETLINK: failed to install IPv6 bypass route for 2001:db8:99::7" "$RT_ERR" \
  "a failing IPv6 endpoint route names the address without /128"
rt_driver cleanup "${FULL_ARGS[@]}"
# A gateway that is not on the link: ip itself refuses the bypass routes.
rt_driver apply tun0 vpn.example.test 203.0.113.1 eth0 "" "" 198.51.100.7 "" 10.0.0.0/8
assert_contains "$RT_ERR" "RTNETLINK: failed to install IPv4 bypass route for 10.0.0.0/8" \
  "a real ip failure on a prefix route is reported with the prefix"
assert_contains "$RT_ERR" "RTNETLINK: failed to install IPv4 bypass route for 198.51.100.7" \
  "a real ip failure on an endpoint route is reported with the address"
rt_driver cleanup tun0 vpn.example.test 203.0.113.1 eth0 "" "" 198.51.100.7 "" 10.0.0.0/8
assert_eq "$BEFORE" "$(testbed_snapshot)" "host restored after the failure runs"

# --- ICMP bypass: the named commands, then the way back for the re-routed
# pings (source NAT, connection mark saved and restored, src_valid_mark
# raised with its marker).
# Only the host's own queries, nothing already marked.
ICMP_MARK="-p icmp -m mark --mark 0x0 -m conntrack --ctstate NEW,ESTABLISHED --ctdir ORIGINAL -m comment --comment zelmo-vpn-icmp-bypass -j MARK --set-mark 1"
ICMP_TABLE_READ="popen: ip route show table 100 2>/dev/null"
ICMP_RULE_READ="popen: ip rule show fwmark 0x1 lookup 100 priority 100 2>/dev/null"
ICMP_CHECK="system: iptables -t mangle -C OUTPUT $ICMP_MARK >/dev/null 2>&1"
# The rule goes in before the table's route: the cleanup mode takes a route
# in table 100 for the bypass's only while the rule is there.
ICMP_NAMED="$ICMP_TABLE_READ
$ICMP_RULE_READ
system: ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100
system: ip route replace default via $GW4 dev eth0 table 100
$ICMP_CHECK"
# The three rules of the way back, as "TABLE CHAIN RULE".
ICMP_RETURN_RULES=(
  "nat POSTROUTING -o eth0 -p icmp -m mark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j MASQUERADE"
  "mangle POSTROUTING -o eth0 -m mark --mark 0x1 -m connmark --mark 0x0 -m comment --comment zelmo-vpn-icmp-bypass -j CONNMARK --save-mark"
  "mangle PREROUTING -i eth0 -m connmark --mark 0x1 -m comment --comment zelmo-vpn-icmp-bypass -j CONNMARK --restore-mark"
)
icmp_return_path() {  # install|delete: the recorded commands for those rules
  local entry table chain rule
  for entry in "${ICMP_RETURN_RULES[@]}"; do
    read -r table chain rule <<< "$entry"
    if [ "$1" = install ]; then
      echo "system: iptables -t $table -C $chain $rule >/dev/null 2>&1 || iptables -t $table -A $chain $rule"
    else
      # iptables lists a CONNMARK target with its masks.
      [[ $rule == *CONNMARK* ]] && rule="$rule --nfmask 0xffffffff --ctmask 0xffffffff"
      echo "system: iptables -t $table -D $chain $rule >/dev/null 2>&1"
    fi
  done
}
ICMP_RETURN=$(icmp_return_path install)
SVM_MARKER="PREROUTING -i eth0 -m comment --comment zelmo-vpn-src-valid-mark"
ICMP_APPLY="$ICMP_NAMED
system: iptables -t mangle -A OUTPUT $ICMP_MARK
$ICMP_RETURN
system: iptables -t mangle -C $SVM_MARKER >/dev/null 2>&1 || iptables -t mangle -A $SVM_MARKER"
ICMP_CLEANUP_NAMED="system: iptables -t mangle -D OUTPUT $ICMP_MARK >/dev/null 2>&1
system: iptables -t mangle -D OUTPUT -p icmp -j MARK --set-mark 1 >/dev/null 2>&1
$ICMP_TABLE_READ
system: ip rule del fwmark 0x1 ipproto icmp lookup 100 priority 100 >/dev/null 2>&1
system: ip rule del fwmark 0x1 lookup 100 >/dev/null 2>&1
system: ip route del default table 100 >/dev/null 2>&1
popen: iptables -t nat -S POSTROUTING 2>/dev/null
popen: iptables -t mangle -S POSTROUTING 2>/dev/null
popen: iptables -t mangle -S PREROUTING 2>/dev/null"
ICMP_CLEANUP="$ICMP_CLEANUP_NAMED
$(icmp_return_path delete)
popen: iptables -t mangle -S PREROUTING 2>/dev/null
system: iptables -t mangle -D $SVM_MARKER >/dev/null 2>&1"
svm() { cat /proc/sys/net/ipv4/conf/eth0/src_valid_mark; }
icmp_rules() { ip -4 rule show | grep -c 'fwmark 0x1 ipproto icmp lookup 100'; }
icmp_marks() { iptables -t mangle -S OUTPUT | grep -c -- '-p icmp .*-j MARK --set-xmark 0x1/0xffffffff'; }

rt_driver icmp-apply "" ""
assert_eq "no usable IPv4 default route|" "$RT_OUT|$RT_COMMANDS" "ICMP bypass without a default route runs nothing"
rt_driver icmp-apply "$GW4" 'eth0;reboot'
assert_eq "" "$RT_COMMANDS" "ICMP bypass with an unsafe device runs nothing"
rt_driver icmp-apply "$GW4" eth0
assert_eq "$ICMP_APPLY" "$RT_COMMANDS" "ICMP bypass: rule, table route, check, append"
assert_eq "" "$RT_ERR" "ICMP bypass prints nothing when it succeeds"
assert_eq "default via $GW4 dev eth0 " "$(ip -4 route show table 100)" "table 100 holds the physical default route"
assert_eq "100:	from all fwmark 0x1 ipproto icmp lookup 100" "$(ip -4 rule show priority 100)" \
  "the mark rule has priority 100 and takes ICMP alone"
assert_eq 1 "$(icmp_marks)" "one ICMP marking rule"
route_of_mark1() { ip route get 200.1.1.1 mark 1 ipproto "$1" | head -1 | sed -E 's/ (src|uid|mark|ipproto) .*//; s/^[^ ]+ //'; }
assert_eq "via $GW4 dev eth0 table 100|via $GW4 dev eth0" "$(route_of_mark1 icmp)|$(route_of_mark1 tcp)" \
  "marked ICMP takes the physical path of table 100, another protocol with the same mark the main table"
rt_driver icmp-apply "$GW4" eth0
assert_eq "$ICMP_TABLE_READ
$ICMP_RULE_READ
system: ip route replace default via $GW4 dev eth0 table 100
$ICMP_CHECK
$ICMP_RETURN" "$RT_COMMANDS" "second apply: the rule and the marking rule are found, nothing added; src_valid_mark already set"
assert_eq 1 "$(svm)" "src_valid_mark raised on the physical device"
assert_eq 1 "$(icmp_marks)" "still one ICMP marking rule"
assert_eq 1 "$(icmp_rules)" "one mark rule after two applies"
rt_driver icmp-cleanup "$GW4" eth0
assert_eq "$ICMP_CLEANUP" "$RT_COMMANDS" "ICMP cleanup: mark, rule, route, once each, then the way back by its marker"
assert_eq 0 "$(svm)" "src_valid_mark put back"
assert_eq "" "$RT_ERR" "ICMP cleanup is silent"
rt_driver icmp-cleanup "$GW4" eth0
rt_driver icmp-cleanup "$GW4" eth0
assert_eq "$ICMP_CLEANUP_NAMED
popen: iptables -t mangle -S PREROUTING 2>/dev/null" "$RT_COMMANDS" "ICMP cleanup with nothing installed runs the same commands, finds nothing of the way back"
assert_eq "" "$RT_ERR$RT_OUT" "ICMP cleanup with nothing installed produces no output"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host restored after the ICMP bypass"

# --- An earlier version's rule took every protocol: an apply replaces it,
# the cleanup removes it beside the narrow one.
ip rule add fwmark 0x1 lookup 100 priority 100
rt_driver icmp-apply "$GW4" eth0
assert_eq "100:	from all fwmark 0x1 ipproto icmp lookup 100" "$(ip -4 rule show priority 100)" \
  "an apply replaces the older rule by the narrow one"
ip rule add fwmark 0x1 lookup 100 priority 100
rt_driver icmp-cleanup "$GW4" eth0
assert_eq "$BEFORE" "$(testbed_snapshot)" "the cleanup removes the bypass's rule in both forms"

# --- A firewall that refuses the marking rule: the table's route and rule,
# useless without it, go again, and the caller learns why.
LVH_FAIL_COMMAND="iptables -t mangle -A OUTPUT $ICMP_MARK" rt_driver icmp-apply "$GW4" eth0
assert_eq "the firewall refused its mark rule" "$RT_OUT" "a refused marking rule leaves the bypass out"
assert_eq "$BEFORE" "$(testbed_snapshot)" "and nothing of it installed"

# --- Table 100 with a second uplink's default route (another gateway on
# the link): another owner's, taken neither at apply nor at cleanup.
ip route add default via 192.0.2.3 dev eth0 table 100
OWNED=$(testbed_snapshot)
rt_driver icmp-apply "$GW4" eth0
assert_eq "routing table 100 holds routes of another owner|$ICMP_TABLE_READ
$ICMP_RULE_READ" "$RT_OUT|$RT_COMMANDS" "a default route via another gateway keeps the bypass out"
rt_driver icmp-cleanup "$GW4" eth0
assert_eq "$OWNED" "$(testbed_snapshot)" "the other owner's default route survives the bypass's cleanup"
ip route del default table 100
# The same route as the bypass's own, but without the bypass's rule: a
# second uplink through the same gateway, still another owner's.
ip route add default via "$GW4" dev eth0 table 100
OWNED=$(testbed_snapshot)
rt_driver icmp-apply "$GW4" eth0
assert_eq "routing table 100 holds routes of another owner" "$RT_OUT" \
  "a route like the bypass's without its rule keeps the bypass out"
rt_driver icmp-cleanup "" ""
assert_eq "$OWNED" "$(testbed_snapshot)" "and survives the cleanup of a run that left the bypass out"
ip route del default table 100

# --- Uplinks without a gateway (PPP, mobile broadband): IPv4 keeps "via
# 0.0.0.0", IPv6 pins on-link; both are installed, routed and removed.
ONLINK_ARGS=(tun0 vpn.example.test 0.0.0.0 eth0 "" eth0 198.51.100.7 2001:db8:99::7 10.0.0.0/8)
rt_driver apply "${ONLINK_ARGS[@]}"
assert_eq "system: ip route replace 0.0.0.0/1 dev tun0 metric 5
system: ip route replace 128.0.0.0/1 dev tun0 metric 5
system: ip -6 route replace ::/1 dev tun0 metric 5
system: ip -6 route replace 8000::/1 dev tun0 metric 5
system: ip route replace 10.0.0.0/8 via 0.0.0.0 dev eth0 metric 3
system: ip route replace 198.51.100.7/32 via 0.0.0.0 dev eth0 metric 3
system: ip -6 route replace 2001:db8:99::7/128 dev eth0 metric 3" "$RT_COMMANDS" \
  "apply without gateways: IPv6 split routes, on-link pins in both families"
assert_eq "" "$RT_ERR" "apply without gateways: nothing on standard error"
assert_eq "dev eth0|dev eth0|dev tun0" \
  "$(rt_route_get 198.51.100.7)|$(rt_route_get 2001:db8:99::7 -6)|$(rt_route_get 2001:db8:77::1 -6)" \
  "without gateways the endpoint stays on the device and other IPv6 enters the tunnel"
rt_driver cleanup "${ONLINK_ARGS[@]}"
assert_eq "" "$RT_ERR" "cleanup without gateways finds every route it deletes"
assert_eq "$BEFORE" "$(testbed_snapshot)" "cleanup without gateways restores the host"
rt_driver icmp-apply 0.0.0.0 eth0
assert_contains "$RT_COMMANDS" "system: ip route replace default via 0.0.0.0 dev eth0 table 100" \
  "ICMP bypass without a gateway keeps via 0.0.0.0"
assert_eq "default dev eth0 " "$(ip -4 route show table 100)" "the kernel lists it without via"
rt_driver icmp-apply 0.0.0.0 eth0
assert_eq "" "$RT_OUT" "a second apply takes the listed route for the bypass's own"
rt_driver icmp-cleanup 0.0.0.0 eth0
assert_eq "$BEFORE" "$(testbed_snapshot)" "the ICMP bypass without a gateway is removed whole"

testbed_finish
