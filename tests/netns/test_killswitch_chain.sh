#!/bin/bash
# The kill switch chain in real iptables and ip6tables: exact contents in
# order, the IPv6 rule, idempotence, replacement of a stale chain,
# stop-at-first-failure that leaves nothing behind, and unsafe TUN names
# that never reach the shell. The guard's table in real nft: listed exactly
# as built (what the watch compares), addresses added later as a fresh
# build has them, removed by the cleanup.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup --ipv6

EXPECTED_V4_FULL="-N ZELMO_KILLSWITCH
-A ZELMO_KILLSWITCH -o lo -j RETURN
-A ZELMO_KILLSWITCH -o tun0 -m mark ! --mark 0x1 -j RETURN
-A ZELMO_KILLSWITCH -o tun0 ! -p icmp -j RETURN
-A ZELMO_KILLSWITCH -d 203.0.113.7/32 -j RETURN
-A ZELMO_KILLSWITCH -d 198.51.100.9/32 -j RETURN
-A ZELMO_KILLSWITCH -d 10.0.0.0/8 -j RETURN
-A ZELMO_KILLSWITCH -d 192.168.0.0/16 -j RETURN
-A ZELMO_KILLSWITCH -d 255.255.255.255/32 -p udp -m udp --sport 68 --dport 67 -j RETURN
-A ZELMO_KILLSWITCH -j REJECT --reject-with icmp-port-unreachable"

# The host's own upkeep: neighbour discovery, DHCPv6, router solicitation.
UPKEEP_V6="-A ZELMO_KILLSWITCH -p ipv6-icmp -m icmp6 --icmpv6-type 135 -j RETURN
-A ZELMO_KILLSWITCH -p ipv6-icmp -m icmp6 --icmpv6-type 136 -j RETURN
-A ZELMO_KILLSWITCH -d ff02::1:2/128 -p udp -m udp --sport 546 --dport 547 -j RETURN
-A ZELMO_KILLSWITCH -p ipv6-icmp -m icmp6 --icmpv6-type 133 -j RETURN"
EXPECTED_V6_THREE="-N ZELMO_KILLSWITCH
-A ZELMO_KILLSWITCH -o lo -j RETURN
-A ZELMO_KILLSWITCH -o tun0 -j RETURN
$UPKEEP_V6
-A ZELMO_KILLSWITCH -j REJECT --reject-with icmp6-port-unreachable"

apply_full_ipv4() {
  ks_driver apply tun0 "203.0.113.7,vpn.example.com,2001:db8::5,198.51.100.9" "" \
    "10.0.0.0/8,bad,10.0.0.0/33,192.168.0.0/16" "$1"
}

# --- IPv4 chain; no IPv6 flag and no IPv6 endpoint removes an old IPv6 chain
ks_plant_stale_chain ip6tables
apply_full_ipv4 nowant
assert_eq "OK" "$KS_OUT" "apply without IPv6 succeeds"
assert_eq "$EXPECTED_V4_FULL" "$(ks_chain iptables)" \
  "IPv4 chain: lo, tun, endpoint /32s, prefixes, REJECT; host names, IPv6 texts and bad prefixes skipped"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "IPv4 jump is rule 1 of OUTPUT"
assert_eq "absent" "$(ks_chain ip6tables)" "no IPv6 chain without flag or IPv6 endpoint, old one removed"
assert_eq "" "$(ks_hooks ip6tables)" "no IPv6 jump left"
assert_not_contains "$(cat "$KS_RECORD")" "ip6tables -N" "no IPv6 chain command runs"

# --- Flag true without IPv6 addresses: the three-rule chain
ks_driver apply tun0 "203.0.113.7" "" "" want
assert_eq "$EXPECTED_V6_THREE" "$(ks_chain ip6tables)" "IPv6 chain with flag: lo, tun, upkeep, REJECT"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks ip6tables)" "IPv6 jump is rule 1 of OUTPUT"

# --- Flag false but an IPv6 endpoint: chain with its /128, non-addresses skipped
ks_driver apply tun0 "" "2001:db8:5::7,vpn.example.com,203.0.113.7" "" nowant
assert_eq "-N ZELMO_KILLSWITCH
-A ZELMO_KILLSWITCH -o lo -j RETURN
-A ZELMO_KILLSWITCH -o tun0 -j RETURN
-A ZELMO_KILLSWITCH -d 2001:db8:5::7/128 -j RETURN
$UPKEEP_V6
-A ZELMO_KILLSWITCH -j REJECT --reject-with icmp6-port-unreachable" "$(ks_chain ip6tables)" \
  "IPv6 endpoint gets a /128 and neighbour discovery, even without the flag"

# --- Applying twice leaves one chain and one jump per family
apply_full_ipv4 want
apply_full_ipv4 want
assert_eq "OK" "$KS_OUT" "second apply succeeds"
assert_eq "$EXPECTED_V4_FULL" "$(ks_chain iptables)" "IPv4 chain not doubled"
assert_eq "$EXPECTED_V6_THREE" "$(ks_chain ip6tables)" "IPv6 chain not doubled"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "one IPv4 jump after two applies"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks ip6tables)" "one IPv6 jump after two applies"

# --- A chain left by an earlier run is replaced, not extended
ks_driver cleanup
iptables -A OUTPUT -o eth0 -p udp --dport 53 -j ACCEPT
ks_plant_stale_chain iptables
ks_plant_stale_chain ip6tables
apply_full_ipv4 want
assert_eq "$EXPECTED_V4_FULL" "$(ks_chain iptables)" "stale IPv4 chain replaced"
assert_eq "$EXPECTED_V6_THREE" "$(ks_chain ip6tables)" "stale IPv6 chain replaced"
assert_eq "1:-A OUTPUT -j ZELMO_KILLSWITCH" "$(ks_hooks iptables)" "stale IPv4 jump replaced by one"
assert_contains "$(iptables -S OUTPUT)" "-A OUTPUT -o eth0 -p udp -m udp --dport 53 -j ACCEPT" \
  "foreign OUTPUT rule kept"

# --- Cleanup removes both families and leaves foreign rules
ks_driver cleanup
assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" "cleanup removes both chains"
assert_eq "" "$(ks_hooks iptables)$(ks_hooks ip6tables)" "cleanup removes both jumps"
assert_contains "$(iptables -S OUTPUT)" "--dport 53 -j ACCEPT" "cleanup keeps foreign OUTPUT rule"
iptables -D OUTPUT -o eth0 -p udp --dport 53 -j ACCEPT

# --- A failing command stops the sequence and leaves nothing in either family
for failing in "iptables -A ZELMO_KILLSWITCH -j REJECT" \
  "ip6tables -A ZELMO_KILLSWITCH -j REJECT" \
  "iptables -C OUTPUT -j ZELMO_KILLSWITCH >/dev/null 2>&1 || iptables -I OUTPUT 1 -j ZELMO_KILLSWITCH"; do
  ks_plant_stale_chain iptables
  LVH_FAIL_COMMAND="$failing" ks_driver apply tun0 "203.0.113.7" "" "10.0.0.0/8" want
  assert_eq "2|ERROR: kill switch command failed: $failing" "$KS_STATUS|$KS_OUT" \
    "failure of '$failing' reported with the whole command"
  assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" \
    "failure of '$failing' leaves no chain in either family"
  assert_eq "" "$(ks_hooks iptables)$(ks_hooks ip6tables)" "failure of '$failing' leaves no jump"
  # After the failing command only the cleanup's commands may run.
  after=$(awk -v failing="system: $failing" 'seen { print } $0 == failing { seen = 1 }' "$KS_RECORD")
  assert_eq "$(printf 'system: %s >/dev/null 2>&1\n' \
    "iptables -D OUTPUT -j $KS_CHAIN" "iptables -F $KS_CHAIN" "iptables -X $KS_CHAIN" \
    "ip6tables -D OUTPUT -j $KS_CHAIN" "ip6tables -F $KS_CHAIN" "ip6tables -X $KS_CHAIN" \
    "nft delete table inet $KS_GUARD" "nft delete table bridge $KS_GUARD" \
    "while iptables -D OUTPUT -j $KS_CHAIN >/dev/null 2>&1; do :; done; iptables -X $KS_CHAIN" \
    "while ip6tables -D OUTPUT -j $KS_CHAIN >/dev/null 2>&1; do :; done; ip6tables -X $KS_CHAIN")" \
    "$after" "only the cleanup runs after '$failing'"
done

# --- Unsafe TUN names run no command at all and keep an old chain
ks_plant_stale_chain iptables
before=$(ks_chain iptables)
for name in "" "$(printf 'a%.0s' $(seq 129))" "tun 0" "tun0;touch $TESTBED_TMP/pwned" "tun0\$(id)"; do
  ks_driver apply "$name" "203.0.113.7" "" "" want
  assert_eq "2|ERROR: invalid TUN interface name for kill switch" "$KS_STATUS|$KS_OUT" \
    "TUN name of ${#name} bytes '${name:0:20}' rejected"
  assert_eq "" "$(cat "$KS_RECORD")" "TUN name '${name:0:20}' runs no command"
done
assert_eq "$before" "$(ks_chain iptables)" "rejected names leave the earlier chain in place"
[ -e "$TESTBED_TMP/pwned" ] && fail "injected command ran" || pass "injected command never ran"

# --- 128 safe bytes pass the screen; iptables then refuses the interface
# name (longer than the kernel allows), and that failure cleans up as well.
long_name=$(printf 'b%.0s' $(seq 128))
ks_driver apply "$long_name" "" "" "" nowant
assert_eq "2|ERROR: kill switch command failed: iptables -A ZELMO_KILLSWITCH -o $long_name -m mark ! --mark 0x1 -j RETURN" \
  "$KS_STATUS|$KS_OUT" "128-byte name passes the screen and reaches iptables"
assert_eq "absent absent" "$(ks_chain iptables) $(ks_chain ip6tables)" "refused long name leaves no chain"

# --- The guard: rows of inputs, each installed over the last, listed back
# exactly as built; then an endpoint resolved late joins as a fresh build
# would have it, and the cleanup takes the table.
ks_driver apply tun0 "" "" "" want
while read -r row; do
  eval "args=($row)"
  ks_driver guard "${args[@]}"
  assert_eq "0|OK" "$KS_STATUS|$KS_OUT" "guard installs: $row"
  ks_driver guard-listed "${args[@]}"
  assert_eq "listed as built" "$KS_OUT" "guard listed as built: $row"
done <<'ROWS'
tun0 "" "" "" "" "" noapp
tun0 203.0.113.7,vpn.example.com 2001:DB8:5:0::7,::ffff:1.2.3.4 10.0.0.0/8,10.1.2.3/32,bad eth0,wwan0 docker0,virbr0 app 192.0.2.53,2001:db8::53
zelmo_vpn-tun0 "" 2001:db8:5::7 0.0.0.0/0 eth0 "" noapp
tun0 "" "" "" eth0 "" noapp "" 192.0.2.0/24,100.64.0.1/32,2001:db8:1::/64,fe80::/64,2001:db8:64::2/128
ROWS
ks_driver cleanup
assert_eq "" "$(nft list tables inet)$(nft list tables bridge)" "cleanup removes the guard"

testbed_finish
