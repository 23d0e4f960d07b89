#!/bin/bash
# What the helper installed stays installed while READY. In the routed
# topology, with the kill switch, a bypass prefix and a bypassSelected
# policy, the tunnel's device is gone (so only the kill switch stands
# between the host and a leak). Each row takes a piece away the way a
# firewall reload or a network manager would; the piece must be back
# within a second (the policy rules within a few), and after each kill
# switch row an outside conversation must be refused and never reach the
# router, beside a conversation the kill switch lets through.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
APP=$(echo "keepapp$RANDOM$RANDOM" | cut -c1-15)
gw_count_rule out4 iptables -p tcp -d "$SERVER4" --dport "$CONV_PORT"
gw_count_rule out6 ip6tables -p tcp -d "$SERVER6" --dport "$CONV_PORT"
BEFORE=$(testbed_snapshot)

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
    # A marked-traffic rule put back is appended: compare as sets.
    mangle4) { iptables -t mangle -S; iptables -t nat -S; } | sort ;;
    mangle6) { ip6tables -t mangle -S; ip6tables -t nat -S; } | sort ;;
  esac
}
# held KIND SECONDS: the state of KIND is back to what READY had.
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

RUN_ARGS=(--kill-switch --bypass-prefixes "$BYPASS_PREFIX4"
  --app-routing-policy "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"$APP\"]}")
routed_start_helper "${RUN_ARGS[@]}" || fail "READY ($(cat "$HELPER_ERR"))"
declare -A READY_STATE
for kind in filter4 filter6 rules mangle4 mangle6; do READY_STATE[$kind]=$(pieces "$kind"); done
sleep 0.5
assert_eq 0 "$(grep -c '^INFO: restored' "$HELPER_OUT")" "nothing restored while everything is in place"
ip link delete zelmo_vpn-tun0
# Positive control for the counters: without the helper's chain the outside
# conversation reaches the router. The guard's table goes too, for good
# (the watch does not put it back yet), so that the rows below see what
# the chain alone does.
nft delete table inet zelmo-vpn-killswitch
iptables -D OUTPUT -j ZELMO_KILLSWITCH && gw_reset_counts && conv "$SERVER4" > /dev/null
assert_at_least 1 "$(gw_count out4 iptables)" "control: an unguarded conversation reaches the router"
held filter4 1 && blocks 4 && pass "control: the kill switch came back and blocks" ||
  fail "control: the kill switch came back and blocks"
sleep 1.1

# ROW: seconds|state|family blocked after it ("" for none)|commands
while IFS='|' read -r seconds kind family commands; do
  eval "$commands"
  if held "$kind" "$seconds"; then pass "$commands: back within ${seconds}s"; else
    fail "$commands: back within ${seconds}s"
    diff <(echo "${READY_STATE[$kind]}") <(pieces "$kind") | sed 's/^/    /'
  fi
  [ -z "$family" ] || { blocks "$family" && pass "$commands: IPv$family blocked with the tunnel gone" ||
    fail "$commands: IPv$family blocked with the tunnel gone"; }
  iptables -D OUTPUT -j ACCEPT 2> /dev/null
  ip6tables -D OUTPUT -j ACCEPT 2> /dev/null
  # Past the kill switch's pause between two restores of one family.
  sleep 1.1
done <<'ROWS'
1|filter4|4|iptables -F OUTPUT
1|filter6|6|ip6tables -F OUTPUT
1|filter4|4|iptables -F; iptables -X
1|filter6|6|ip6tables -F; ip6tables -X
1|filter4|4|iptables -I OUTPUT 1 -j ACCEPT
1|filter6|6|ip6tables -I OUTPUT 1 -j ACCEPT
1|filter4|4|iptables -I ZELMO_KILLSWITCH 1 -j RETURN
1|filter6|6|ip6tables -F ZELMO_KILLSWITCH
3|rules||ip rule del priority 100; ip rule del priority 1066; ip -6 rule del priority 1066
3|mangle4||iptables -t mangle -F; iptables -t nat -F
3|mangle6||ip6tables -t mangle -F; ip6tables -t nat -F
ROWS

stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "helper stops cleanly"

# Where the firewall announces nothing (the legacy back end; here the
# version check is made to fail), the pieces are looked at every 2 s.
LVH_RECORD_FILE=/dev/null LVH_FAIL_COMMAND="iptables -V 2>/dev/null" routed_start_helper \
  "${RUN_ARGS[@]}" || fail "READY without notifications"
iptables -F OUTPUT
held filter4 3 && pass "without notifications: back within 3s" ||
  fail "without notifications: back within 3s"
stop_helper
assert_eq "$BEFORE" "$(testbed_snapshot)" "teardown leaves the host as it was"
testbed_finish
