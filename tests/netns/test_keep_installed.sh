#!/bin/bash
# What the helper installed stays installed while READY. In the routed
# topology, with the kill switch, a bypass prefix, name lookups redirected
# and a bypassSelected policy, the tunnel's device is gone (so only the kill switch stands
# between the host and a leak). Each row takes a piece away the way a
# firewall reload or a network manager would; the piece must be back (how
# soon is a figure of `make bench`; the waits here allow a loaded machine),
# and after each kill switch row an outside conversation must be refused
# and never reach the router, beside a conversation the kill switch lets
# through.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
APP=$(echo "keepapp$RANDOM$RANDOM" | cut -c1-15)
gw_count_rule out4 iptables -p tcp -d "$SERVER4" --dport "$CONV_PORT"
gw_count_rule out6 ip6tables -p tcp -d "$SERVER6" --dport "$CONV_PORT"
BEFORE=$(testbed_snapshot)
# Positive control for the counters: without the helper the outside
# conversations take the path they would take with the tunnel gone and no
# kill switch, and reach the router.
gw_reset_counts
conv "$SERVER4" > /dev/null; conv "$SERVER6" > /dev/null
assert_at_least 1 "$(gw_count out4 iptables)" "control: an unguarded IPv4 conversation reaches the router"
assert_at_least 1 "$(gw_count out6 ip6tables)" "control: an unguarded IPv6 conversation reaches the router"

# The state a row compares, before and after.
pieces() {
  case $1 in
    # The chain, rule 1 of OUTPUT and the number of jumps: a foreign rule
    # after the jump stays.
    filter4 | filter6)
      local tool=iptables
      [ "$1" = filter6 ] && tool=ip6tables
      "$tool" -S | grep -v '^-A OUTPUT '
      "$tool" -S OUTPUT | grep '^-A' | head -n 1
      "$tool" -S OUTPUT | grep -c -- '-j ZELMO_KILLSWITCH$'
      ;;
    rules) ip -4 rule show; ip -6 rule show ;;
    # The tables of the helper's own, as nft lists them.
    tables) nft list table inet zelmo-vpn-killswitch; nft list table inet zelmo-vpn-dns ;;
    # A marked-traffic rule put back is appended: compare as sets.
    mangle4) { iptables -t mangle -S; iptables -t nat -S; } | sort ;;
    mangle6) { ip6tables -t mangle -S; ip6tables -t nat -S; } | sort ;;
  esac
}
# held KIND SECONDS: the state of KIND is back to what READY had, waited
# for as long as a loaded machine may take.
BACK_WITHIN=30
held() {
  local deadline=$(($(date +%s%N) + $2 * 1000000000))
  while [ "$(date +%s%N)" -lt "$deadline" ]; do
    [ "$(pieces "$1")" = "${READY_STATE[$1]}" ] && return 0
    sleep 0.02
  done
  return 1
}
# blocks FAMILY: an outside conversation fails and reaches no router, while
# one the kill switch admits (bypass prefix, endpoint) completes.
blocks() {
  local outside=$SERVER4 allowed=$BYPASS_HOST4 tool=iptables
  [ "$1" = 6 ] && outside=$SERVER6 allowed=$ENDPOINT6 tool=ip6tables
  gw_reset_counts
  conv "$allowed" > /dev/null && ! conv "$outside" > /dev/null && [ "$(gw_count "out$1" "$tool")" = 0 ]
}

RUN_ARGS=(--kill-switch --bypass-prefixes "$BYPASS_PREFIX4" --dns 198.51.100.53
  --app-routing-policy "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"$APP\"]}")
routed_start_helper "${RUN_ARGS[@]}" || fail "READY ($(cat "$HELPER_ERR"))"
declare -A READY_STATE
for kind in filter4 filter6 rules mangle4 mangle6 tables; do READY_STATE[$kind]=$(pieces "$kind"); done
sleep 0.5
assert_eq 0 "$(grep -c '^INFO: restored' "$HELPER_OUT")" "nothing restored while everything is in place"
ip link delete zelmo_vpn-tun0
iptables -D OUTPUT -j ZELMO_KILLSWITCH
held filter4 "$BACK_WITHIN" && blocks 4 && pass "the kill switch came back and blocks" ||
  fail "the kill switch came back and blocks"
sleep 1.1

# ROW: state|family blocked after it ("" for none)|commands
while IFS='|' read -r kind family commands; do
  eval "$commands"
  if held "$kind" "$BACK_WITHIN"; then pass "$commands: back"; else
    fail "$commands: back within ${BACK_WITHIN}s"
    diff <(echo "${READY_STATE[$kind]}") <(pieces "$kind") | sed 's/^/    /'
  fi
  [ -z "$family" ] || { blocks "$family" && pass "$commands: IPv$family blocked with the tunnel gone" ||
    fail "$commands: IPv$family blocked with the tunnel gone"; }
  iptables -D OUTPUT -j ACCEPT 2> /dev/null
  ip6tables -D OUTPUT -j ACCEPT 2> /dev/null
  # Past the kill switch's pause between two restores of one family.
  sleep 1.1
done <<'ROWS'
filter4|4|iptables -F OUTPUT
filter6|6|ip6tables -F OUTPUT
filter4|4|iptables -F; iptables -X
filter6|6|ip6tables -F; ip6tables -X
filter4|4|iptables -I OUTPUT 1 -j ACCEPT
filter6|6|ip6tables -I OUTPUT 1 -j ACCEPT
filter4|4|iptables -I ZELMO_KILLSWITCH 1 -j RETURN
filter6|6|ip6tables -F ZELMO_KILLSWITCH
rules||ip rule del priority 100; ip rule del priority 1066; ip -6 rule del priority 1066
mangle4||iptables -t mangle -F; iptables -t nat -F
mangle6||ip6tables -t mangle -F; ip6tables -t nat -F
tables|4|nft delete table inet zelmo-vpn-killswitch; nft delete table inet zelmo-vpn-dns
filter4|4|nft flush ruleset
ROWS

# A program that keeps deleting the guard's table, the one piece that holds
# forwarded traffic: each time the table is back within the kill switch's
# pause of a second, also when a look at a route change came in between.
for round in 1 2 3 4 5; do
  nft delete table inet zelmo-vpn-killswitch
  sleep 0.3
  ip route add 192.0.2.200/32 dev eth0
  ip route del 192.0.2.200/32 dev eth0
  held tables 4 || break
done
[ "$round" = 5 ] && held tables 4 && pass "the guard's table deleted again and again: back each time" ||
  fail "the guard's table deleted again and again: not back within 4 s in round $round"

stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "helper stops cleanly"

# Where the firewall announces nothing (the legacy back end; here the
# version check is made to fail), the pieces are looked at every 2 s.
LVH_RECORD_FILE=/dev/null LVH_FAIL_COMMAND="iptables -V 2>/dev/null" routed_start_helper \
  "${RUN_ARGS[@]}" || fail "READY without notifications"
iptables -F OUTPUT
held filter4 "$BACK_WITHIN" && pass "without notifications: back" ||
  fail "without notifications: back within ${BACK_WITHIN}s"
stop_helper
assert_eq "$BEFORE" "$(testbed_snapshot)" "teardown leaves the host as it was"
testbed_finish
