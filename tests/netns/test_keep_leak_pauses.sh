#!/bin/bash
# A piece whose absence lets traffic out is put back within a second however
# often something takes it. In the routed topology with a vpnOnlySelected
# policy and --dns, something takes pieces again and again, every 3 s (a
# firewall service reloading with `nft flush ruleset`, or a manager flushing
# the policy rules and mangle POSTROUTING); 1.5 s after each time the
# selected program converses and looks a name up. None of its conversations
# and none of its lookups may reach the router, beside the controls: the
# same conversations and lookups reach it without the helper. Then a
# program keeps taking OUTPUT's first place from a kill switch without its
# guard: the jump is back within a second each time, and after the line
# that tells of the fight no more "restored" lines.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_dns.sh"
source "$(dirname "$0")/lib_killswitch.sh"
routed_setup
dns_setup
dns_use "$GW_IP4"
APP=$(echo "pauseapp$RANDOM$RANDOM" | cut -c1-15)
gw_count_rule syn4 iptables -p tcp --syn -d "$SERVER4" --dport "$CONV_PORT"
gw_count_rule syn6 ip6tables -p tcp --syn -d "$SERVER6" --dport "$CONV_PORT"
POLICY="{\"enabled\":true,\"mode\":\"vpnOnlySelected\",\"apps\":[\"$APP\"]}"
ROUNDS=7

# A conversation of the selected program (lookup_as_app is one too).
app_conv() { run_as_app "$APP" "$CONVERSATION" ask "$1" "$CONV_PORT" 2>&1 | tail -n 1; }
# What reached the router: conversations of each family, lookups.
at_router() { echo "syn4=$(gw_count syn4 iptables) syn6=$(gw_count syn6 ip6tables) lookups=$(router_lookups)"; }

# Controls: without the helper the same conversations and lookup reach the
# router.
gw_reset_counts
conv "$SERVER4" > /dev/null; conv "$SERVER6" > /dev/null; lookup > /dev/null
assert_eq "syn4=1 syn6=1 lookups=1" "$(at_router)" "control: without the helper they reach the router"

# ROW: kill switch ("" or on)|what takes the pieces
while IFS='|' read -r ks take; do
  what="${ks:+kill switch, }$take"
  routed_start_helper ${ks:+--kill-switch} --dns "$TUNNEL_DNS4,$TUNNEL_DNS6" --app-routing-policy "$POLICY" ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  # The selected program is in its group before the first round.
  app_conv "$SERVER4" > /dev/null
  gw_reset_counts
  through=0 answered=0 by_router=0 start=$SECONDS
  for round in $(seq "$ROUNDS"); do
    eval "$take" 2> /dev/null
    sleep 1.5
    [ "$(app_conv "$SERVER4")/$(app_conv "$SERVER6")" = "$ENDPOINT4/$ENDPOINT6" ] &&
      through=$((through + 1))
    # The tunnel's way back (its source NAT) is no piece whose absence
    # leaks: a lookup made while it waits for its pause goes unanswered.
    case $(lookup_as_app "$APP") in
      "$ANSWER_TUNNEL") answered=$((answered + 1)) ;;
      "$ANSWER_ROUTER") by_router=$((by_router + 1)) ;;
    esac
    sleep "$(awk -v d=$((start + 3 * round - SECONDS)) 'BEGIN { print (d > 0 ? d : 0) }')"
  done
  assert_eq "syn4=0 syn6=0 lookups=0" "$(at_router)" "$what: nothing of the selected program reaches the router"
  assert_eq "$ROUNDS" "$through" "$what: its conversations went through the tunnel"
  assert_eq 0 "$by_router" "$what: none of its lookups was answered by the router"
  assert_at_least 1 "$answered" "$what: its lookups were answered through the tunnel"
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: stopped"
done <<'ROWS'
|nft flush ruleset
on|nft flush ruleset
on|ip rule del priority 1066; ip -6 rule del priority 1066; iptables -t mangle -F POSTROUTING; ip6tables -t mangle -F POSTROUTING
ROWS

# A program that keeps putting its own rule first in OUTPUT, against a kill
# switch without its guard (no nft): the jump is put back within a second
# each time, and the client hears of it until it is told of the fight.
PATH=$(ks_path_without_nft) routed_start_helper --kill-switch || fail "without nft: READY"
touch "$TESTBED_TMP/eager"
while [ -e "$TESTBED_TMP/eager" ]; do
  [ "$(iptables -S OUTPUT | sed -n 2p)" = "-A OUTPUT -j ACCEPT" ] || iptables -I OUTPUT 1 -j ACCEPT
  sleep 0.05
done &
sleep 10
rm "$TESTBED_TMP/eager"
wait $!
restored=$(grep -c -x -F "INFO: restored kill switch jump (iptables)" "$HELPER_OUT")
fights=$(grep -c -x -F "INFO: something else keeps removing or overtaking the kill switch jump (iptables); it is put back after a growing pause" "$HELPER_OUT")
assert_eq "restored=3 fights=1" "restored=$restored fights=$fights" \
  "a fight over OUTPUT's first place: told once, then quiet"
jump_first() { [ "$(iptables -S OUTPUT | sed -n 2p)" = "-A OUTPUT -j ZELMO_KILLSWITCH" ]; }
wait_until 5 jump_first && pass "the jump is first again" || fail "the jump is first again"
stop_helper
testbed_finish
