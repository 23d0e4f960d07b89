#!/bin/bash
# The cleanup mode on hand-built leftovers of a crashed run: every owned
# piece goes (also those pinned to an uplink without a gateway), foreign
# state beside it stays, a second run changes nothing, and on a clean host
# it says nothing on standard error.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
testbed_setup --ipv6

OTHER_GW4=192.0.2.3

CLEAN=$(testbed_snapshot)
run_helper --cleanup
assert_eq "0|CLEANED|" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")|$(cat "$HELPER_ERR")" \
  "on a clean host the cleanup ends CLEANED with nothing on standard error"
assert_eq "$CLEAN" "$(testbed_snapshot)" "on a clean host the cleanup changes nothing"

# --- Foreign state: looks close to the owned pieces but carries no marker.
build_foreign_state() {
  ip route add 10.97.0.0/16 via "$OTHER_GW4" dev eth0 metric 3   # other gateway
  ip route add 10.98.0.0/16 via "$GW_IP4" dev eth0 metric 30     # metric 30 (delete names 3)
  ip route add 10.99.0.0/16 via "$GW_IP4" dev eth0 metric 4      # other metric
  ip route add 10.96.0.0/16 via "$GW_IP4" dev eth0               # no metric
  ip route add 10.95.0.0/16 via "$GW_IP4" dev eth0 table 200 metric 3
  ip rule add fwmark 0x5 lookup 200 priority 200
  for name in tun0 xqtun my-qtun; do
    ip tuntap add mode tun name "$name"
    ip link set "$name" up
  done
  ip route add 0.0.0.0/1 dev tun0 metric 5
  ip route add 128.0.0.0/1 dev xqtun metric 5
  ip -6 route add ::/1 dev tun0 metric 5
  iptables -N OTHER_GUARD
  iptables -A OTHER_GUARD -o eth0 -j RETURN
  iptables -I OUTPUT 1 -j OTHER_GUARD
  ip6tables -A OUTPUT -o eth0 -p udp --dport 53 -j ACCEPT
  iptables -t mangle -A OUTPUT -p udp -j MARK --set-mark 5
  mkdir /sys/fs/cgroup/other-group
  sleep infinity &
  FOREIGN_MEMBER=$!
  echo "$FOREIGN_MEMBER" > /sys/fs/cgroup/other-group/cgroup.procs
  iptables -t mangle -A OUTPUT -m cgroup --path other-group -j MARK --set-mark 0x77
  nft -f - <<'NFT'
table inet other-guard {
	chain output { type filter hook output priority filter; policy accept; oifname "eth0" accept; }
}
NFT
}

# --- Owned state, as the pieces of an interrupted run leave it.
build_owned_state() {
  # Leftover engine devices with their split routes; qtun0's 0.0.0.0/1 is
  # listed before the real default route in /proc/net/route.
  local name
  for name in qtun0 zelmo_vpn-tun7; do
    ip tuntap add mode tun name "$name"
    ip link set "$name" up
    ip route add 0.0.0.0/1 dev "$name" metric 5
    ip route add 128.0.0.0/1 dev "$name" metric 5
    ip -6 route add ::/1 dev "$name" metric 5
    ip -6 route add 8000::/1 dev "$name" metric 5
  done
  # Bypass routes: prefixes and endpoint host routes, metric 3, via the default gateway.
  ip route add 10.0.0.0/8 via "$GW_IP4" dev eth0 metric 3
  ip route add 203.0.113.7/32 via "$GW_IP4" dev eth0 metric 3
  ip route add 198.51.100.0/24 via "$GW_IP4" dev eth0 proto static metric 3
  # Kill switch in both families, hooked as rule 1 of OUTPUT.
  local tool
  for tool in iptables ip6tables; do
    $tool -N ZELMO_KILLSWITCH
    $tool -A ZELMO_KILLSWITCH -o lo -j RETURN
    $tool -A ZELMO_KILLSWITCH -o qtun0 -j RETURN
    $tool -A ZELMO_KILLSWITCH -j REJECT
    $tool -I OUTPUT 1 -j ZELMO_KILLSWITCH
  done
  # The kill switch's guard.
  nft -f - <<'NFT'
table inet zelmo-vpn-killswitch {
	chain output { type filter hook output priority filter; policy accept; oifname "qtun0" accept; reject; }
	chain postrouting { type filter hook postrouting priority filter; policy accept; oifname "eth0" drop; }
}
table bridge zelmo-vpn-killswitch {
	chain prerouting { type filter hook prerouting priority filter; policy accept; meta pkttype != host meta mark set 0x7e; }
}
NFT
  # ICMP bypass: its rule in both forms (an earlier version's took every
  # protocol).
  ip route replace default via "$GW_IP4" dev eth0 table 100
  ip rule add fwmark 0x1 lookup 100 priority 100
  ip rule add fwmark 0x1 ipproto icmp lookup 100 priority 100
  iptables -t mangle -A OUTPUT -p icmp -j MARK --set-mark 1
  # App routing: the group with a member, its mark rule, both tables and rules,
  # and the older fixed group with its rule.
  mkdir /sys/fs/cgroup/zelmo-vpn-app-routing
  sleep infinity &
  OWNED_MEMBER=$!
  echo "$OWNED_MEMBER" > /sys/fs/cgroup/zelmo-vpn-app-routing/cgroup.procs
  iptables -t mangle -A OUTPUT -m cgroup --path zelmo-vpn-app-routing -j MARK --set-mark 0x66
  mkdir -p /sys/fs/cgroup/zelmo-vpn/app-routing
  iptables -t mangle -A OUTPUT -m cgroup --path zelmo-vpn/app-routing -j MARK --set-mark 0x66
  ip route replace default via "$GW_IP4" dev eth0 table 1066
  ip rule add fwmark 0x66 lookup 1066 priority 1066
  ip route replace default dev qtun0 table 1067
  ip rule add fwmark 0x66 lookup 1067 priority 1066
  # The IPv6 endpoint route, metric 3 via the IPv6 default route.
  ip -6 route add 2001:db8:5::7/128 via "$GW_IP6" dev eth0 metric 3
}

build_foreign_state
BEFORE=$(testbed_snapshot)
build_owned_state
WITH_STALE=$(testbed_snapshot)

# Mask 00000080 is a /1: a reader that ignored the mask would take a split
# route for the default route and miss the bypass routes.
assert_eq "00000080" "$(awk 'NR > 1 && $2 == "00000000" { print $8; exit }' /proc/net/route)" \
  "precondition: a stale 0.0.0.0/1 is the first zero-destination line of the route table"
assert_at_least 1 "$(diff <(echo "$BEFORE") <(echo "$WITH_STALE") | grep -c '^>')" \
  "precondition: owned state is visible in the snapshot"

run_helper --cleanup
assert_eq "0" "$HELPER_STATUS" "cleanup exits 0"
assert_eq "CLEANED" "$(tail -n 1 "$HELPER_OUT")" "cleanup ends with CLEANED"
AFTER=$(testbed_snapshot)

assert_eq "$BEFORE" "$AFTER" "every owned piece is gone, IPv6 endpoint route included; foreign state stays"
assert_eq "0::/" "$(grep "^0::" /proc/$OWNED_MEMBER/cgroup)" "member handed back to the parent group"
assert_eq "0::/other-group" "$(grep "^0::" /proc/$FOREIGN_MEMBER/cgroup)" "foreign member stays in its group"

run_helper --cleanup
assert_eq "0|CLEANED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "second cleanup exits 0 with CLEANED"
assert_eq "$AFTER" "$(testbed_snapshot)" "second cleanup changes nothing"

# --- Leftovers pinned to an uplink without a gateway (default routes
# "default dev eth0" in both families): IPv4 went in via 0.0.0.0 and is
# listed without it, IPv6 is on-link; table 100's route is the bypass's
# while its rule is there. The route via another gateway on the same
# device stays.
ip route replace default dev eth0
ip -6 route replace default dev eth0
ONLINK_BEFORE=$(testbed_snapshot)
ip route add 203.0.113.7/32 via 0.0.0.0 dev eth0 metric 3
ip route add 10.0.0.0/8 via 0.0.0.0 dev eth0 metric 3
ip -6 route add 2001:db8:5::7/128 dev eth0 metric 3
ip rule add fwmark 0x1 lookup 100 priority 100
ip route replace default via 0.0.0.0 dev eth0 table 100
assert_at_least 4 "$(diff <(echo "$ONLINK_BEFORE") <(testbed_snapshot) | grep -c '^>')" \
  "precondition: the on-link leftovers are in the snapshot"
run_helper --cleanup
assert_eq "$ONLINK_BEFORE" "$(testbed_snapshot)" "the cleanup removes every on-link leftover and nothing else"
ip route replace default via "$GW_IP4" dev eth0
ip -6 route replace default via "$GW_IP6" dev eth0

# A default route whose device is not a safe word skips the bypass routes
# only; owned devices are still removed.
ip route add 10.0.0.0/8 via "$GW_IP4" dev eth0 metric 3
ip tuntap add mode tun name qtun1
ip link set eth0 down
ip link set eth0 name 'eth;0'
ip link set 'eth;0' up
ip route add default via "$GW_IP4" dev 'eth;0'
ip route add 10.0.0.0/8 via "$GW_IP4" dev 'eth;0' metric 3
LVH_RECORD_FILE="$TESTBED_TMP/unsafe.record" run_helper --cleanup
assert_eq "0|CLEANED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "cleanup with an unsafe device name ends CLEANED"
assert_contains "$(ip -4 route show)" "10.0.0.0/8 via $GW_IP4 dev eth;0 metric 3" "route via unsafe device left alone"
assert_not_contains "$(cat "$TESTBED_TMP/unsafe.record")" "eth;0" "unsafe device name never reaches the shell"
# No usable default route and nothing pinned in tables 100 and 1066.
assert_eq "" "$(grep -x -E 'popen: ip (-4|-6) route show' "$TESTBED_TMP/unsafe.record")" \
  "with no default route to look for, no route listing"
assert_not_contains "$(ip -o link show type tun)" "qtun1" "owned device removed although the bypass step was skipped"

kill "$OWNED_MEMBER" "$FOREIGN_MEMBER"
wait "$OWNED_MEMBER" "$FOREIGN_MEMBER" 2>/dev/null
rmdir /sys/fs/cgroup/other-group
testbed_finish
