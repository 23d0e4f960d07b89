#!/bin/bash
# Real conversations on every path, in the routed topology (a home router
# that masquerades and knows nothing of the tunnel's subnet, in front of an
# internet with the VPN server). For each app-routing mode, reverse-path
# filtering 0, 1 and 2, and with and without the kill switch: a TCP
# conversation (connect, one line each way, close) on each path with the
# address the server saw, and a ping through the ICMP bypass. Then the
# tunnel's device goes away: what must not leave physically is counted zero
# at the router, beside a positive control on the same counter.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
APP=$(echo "convapp$RANDOM$RANDOM" | cut -c1-15)
gw_count_rule syn4 iptables -p tcp --syn -d "$SERVER4" --dport "$CONV_PORT"
gw_count_rule syn6 ip6tables -p tcp --syn -d "$SERVER6" --dport "$CONV_PORT"
BEFORE=$(testbed_snapshot)

# What the server saw, or why the conversation did not complete.
# completed, when the server answered with the address it saw; else failed.
outcome() { "$@" | grep -qE '^[0-9a-f.:]+$' && echo completed || echo failed; }
pinged() { ping_ok "$1" && echo answered || echo refused; }
syns() { echo "$(gw_count syn4 iptables)/$(gw_count syn6 ip6tables)"; }

# The table's rows for MODE and KILL_SWITCH ("" or "on"), "path=result".
expected() {
  local mode=$1 ks=$2 other4=$ENDPOINT4 other6=$ENDPOINT6 app4=$ROUTER_OUT4 app6=$ROUTER_OUT6
  if [ "$mode" = vpnOnlySelected ]; then
    other4=$ROUTER_OUT4 other6=$ROUTER_OUT6 app4=$ENDPOINT4 app6=$ENDPOINT6
    [ -n "$ks" ] && other4=refused other6=refused
  fi
  printf '%s\n' "unselected4=$other4" "unselected6=$other6" "endpoint4=$ROUTER_OUT4" \
    "endpoint6=$ROUTER_OUT6" "bypass-prefix=$ROUTER_OUT4" \
    "icmp-bypass=$([ -n "$ks" ] && echo refused || echo answered)" \
    "selected4=$app4" "selected6=$app6"
}
measured() {
  printf '%s\n' "unselected4=$(seen "$SERVER4")" "unselected6=$(seen "$SERVER6")" \
    "endpoint4=$(seen "$ENDPOINT4")" "endpoint6=$(seen "$ENDPOINT6")" \
    "bypass-prefix=$(seen "$BYPASS_HOST4")" "icmp-bypass=$(pinged "$SERVER4")" \
    "selected4=$(seen_by_app "$SERVER4")" "selected6=$(seen_by_app "$SERVER6")"
}

for mode in bypassSelected vpnOnlySelected; do
  for ks in "" on; do
    for rp in 0 1 2; do
      what="$mode, rp_filter $rp${ks:+, kill switch}"
      routed_rp_filter "$rp"
      routed_start_helper --bypass-prefixes "$BYPASS_PREFIX4" ${ks:+--kill-switch} \
        --app-routing-policy "{\"enabled\":true,\"mode\":\"$mode\",\"apps\":[\"$APP\"]}" ||
        fail "$what: READY ($(cat "$HELPER_ERR"))"
      table=$(measured)
      assert_eq "$(expected "$mode" "$ks")" "$table" "$what: conversations"
      echo "    measured: $(tr '\n' ' ' <<< "$table")"
      # The tunnel dies (once per combination that must then block
      # something): a vpnOnlySelected program, and under the kill switch any
      # unselected one, must not leave physically.
      if [ "$rp" != 1 ] || [ "$mode$ks" = bypassSelected ]; then stop_helper; continue; fi
      ip link delete zelmo_vpn-tun0
      gw_reset_counts
      if [ "$mode" = vpnOnlySelected ]; then blocked=seen_by_app; else blocked=seen; fi
      assert_eq "failed failed" "$(outcome $blocked "$SERVER4") $(outcome $blocked "$SERVER6")" \
        "$what, tunnel gone: no conversation completes"
      [ -n "$ks" ] && [ "$mode" = vpnOnlySelected ] && { seen "$SERVER4"; seen "$SERVER6"; } > /dev/null
      assert_eq "0/0" "$(syns)" "$what, tunnel gone: nothing of it reaches the router"
      # Positive control, the same counters: after the run the same
      # conversations leave physically.
      stop_helper
      seen "$SERVER4" > /dev/null; seen "$SERVER6" > /dev/null
      assert_eq "1/1" "$(syns)" "$what, tunnel gone: the counters do count"
    done
  done
done
routed_rp_filter 2
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before every run"
testbed_finish
