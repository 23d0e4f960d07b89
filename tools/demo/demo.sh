#!/usr/bin/env bash
# `make demo`: one run of the helper on the stand-in engine and the sample
# configuration beside this script, inside throwaway network, mount, PID and
# cgroup namespaces (tests/netns/testbed.sh), never on this machine's own
# network. The throwaway host sits behind a home router, with servers and
# the VPN server beyond it (tests/netns/lib_routed.sh). The demo shows the
# status lines, what the helper installed, one conversation through the
# tunnel and one around it, and a name lookup that the home router answers
# before the run and the VPN's resolver, through the tunnel, during it
# (--dns, under the kill switch); then the host leaves its network for another
# subnet behind another router, and the same conversations complete again
# through it; then the client's configuration is rewritten to name a second
# VPN server and SIGHUP moves the running helper there, and a conversation
# completes through the second server; then it stops the helper with
# SIGTERM, goes back to the first network, looks the name up once more (the
# router answers again) and compares the host with its state before the run.
DEMO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$DEMO_DIR/../../tests/netns/testbed.sh"
if [ "$(id -u)" != 0 ]; then
  echo "demo: run as root (sudo make demo): it builds network namespaces" >&2
  exit 1
fi
for built in "$LVH_HELPER" "$LVH_ENGINE"; do
  [ -e "$built" ] || { echo "demo: $built is missing; run make demo (it builds first)" >&2; exit 1; }
done
testbed_enter "$@"
source "$DEMO_DIR/../../tests/netns/lib_routed.sh"
source "$DEMO_DIR/../../tests/netns/lib_dns.sh"

BYPASS=10.0.0.0/8,192.168.0.0/16
SAMPLE_CONFIG="$DEMO_DIR/config.json"

section() { printf '\n=== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@" 2>&1 | sed 's/^/    /'; }

section "Throwaway network"
routed_setup
routed_second_router
routed_second_vpn
dns_setup
# The helper runs on a copy of the sample, which the switch rewrites.
CONFIG="$TESTBED_TMP/config.json"
cp "$SAMPLE_CONFIG" "$CONFIG"
dns_use "$GW_IP4"
echo "host eth0 ($HOST_IP4, $HOST_IP6) -> home router (masquerades as $ROUTER_OUT4, $ROUTER_OUT6)"
echo "  -> internet: servers $SERVER4, $SERVER6 and $BYPASS_HOST4"
echo "  -> VPN server vpn.test ($ENDPOINT4, $ENDPOINT6), masquerading what leaves its tunnel"
echo "  -> a second VPN server $ENDPOINT2_NAME ($ENDPOINT2_4, $ENDPOINT2_6), masquerading the same way"
echo "name $LOOKUP_NAME: the home router's resolver ($GW_IP4) answers $ANSWER_ROUTER, the VPN's"
echo "  resolver ($TUNNEL_DNS4, reached only through the tunnel) answers $ANSWER_TUNNEL"
show ip -4 route
show ip -6 route show default
show cat /etc/resolv.conf
conversations_ok=1
# resolve EXPECTED WHY: the host looks the name up as programs do (glibc).
resolve() {
  local answer
  printf '$ getent ahostsv4 %s\n' "$LOOKUP_NAME"
  answer=$(lookup)
  if [ "$answer" = "$1" ]; then
    echo "    $answer  ($2)"
  else
    echo "    $answer  (UNEXPECTED: $1 expected, $2)"
    conversations_ok=0
  fi
}
resolve "$ANSWER_ROUTER" "the home router answers"
before=$(testbed_snapshot)

section "Starting the helper"
echo "$LVH_HELPER --lib libtest_engine.so --config $CONFIG \\"
echo "    --dat-dir /usr/share/zelmo --bypass-prefixes $BYPASS --kill-switch \\"
echo "    --dns $TUNNEL_DNS4,$TUNNEL_DNS6"
start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir /usr/share/zelmo \
  --bypass-prefixes "$BYPASS" --kill-switch --dns "$TUNNEL_DNS4,$TUNNEL_DNS6"
if ! wait_for_line READY 30; then
  echo "demo: the helper did not become ready:" >&2
  cat "$HELPER_OUT" "$HELPER_ERR" >&2
  exit 1
fi
section "Status lines (standard output)"
sed 's/^/    /' "$HELPER_OUT"
if [ -s "$HELPER_ERR" ]; then
  section "Standard error"
  sed 's/^/    /' "$HELPER_ERR"
fi

section "What the helper installed"
show ip route
show ip -6 route
show ip route show table 100
show ip rule
show ip -6 rule
show iptables -S
show iptables -t mangle -S OUTPUT
show iptables -t nat -S POSTROUTING
show ip6tables -S
show nft list table inet zelmo-vpn-killswitch
show nft list table inet zelmo-vpn-dns
section "Routing decisions"
show ip route get "$SERVER4"
show ip route get "$BYPASS_HOST4"
show ip route get "$ENDPOINT4"
show ip -6 route get "$SERVER6"

section "Conversations: each server answers with the source address it saw"
# converse ADDRESS EXPECTED WHY: one conversation, and what its answer shows.
converse() {
  local seen
  printf '$ conversation ask %s %s\n' "$1" "$CONV_PORT"
  seen=$(conv "$1")
  if [ "$seen" = "$2" ]; then
    echo "    $seen  ($3)"
  else
    echo "    $seen  (UNEXPECTED: $2 expected, $3)"
    conversations_ok=0
  fi
}
converse "$SERVER4" "$ENDPOINT4" "the VPN server's address: through the tunnel"
converse "$BYPASS_HOST4" "$ROUTER_OUT4" "the home router's address: around the tunnel, in a bypass prefix"
section "Name lookup: the same resolver configuration, under the kill switch"
resolve "$ANSWER_TUNNEL" "the VPN's resolver answers, through the tunnel"

section "The network changes under the READY helper"
echo "eth0 goes down; eth1 joins $HOST2_IP4/24 behind a second router (masquerades as $ROUTER2_OUT4)"
lines_before=$(wc -l < "$HELPER_OUT")
first_network_down
join_second_network
for wait in $(seq 50); do
  grep -qxF "INFO: default6 via=$ROUTER2_IP6 dev=eth1" "$HELPER_OUT" && break
  sleep 0.1
done
sleep 0.5
echo "new status lines:"
tail -n +"$((lines_before + 1))" "$HELPER_OUT" | sed 's/^/    /'
show ip route get "$ENDPOINT4"
show ip route show table 100
converse "$SERVER4" "$ENDPOINT4" "the VPN server's address: through the tunnel, now over the second router"
converse "$BYPASS_HOST4" "$ROUTER2_OUT4" "the second router's address: the bypass prefix followed the network"

section "Switching to the second VPN server under the READY helper"
# Under the kill switch a client names the server by its address: the
# helper's lookup of a name would leave outside the tunnel.
echo "the client rewrites the configuration to name the second VPN server by its address"
echo "($ENDPOINT2_NAME, $ENDPOINT2_4), then sends SIGHUP"
sed -i "s/\"$ENDPOINT_NAME\"/\"$ENDPOINT2_4\"/" "$CONFIG"
show diff "$SAMPLE_CONFIG" "$CONFIG"
lines_before=$(wc -l < "$HELPER_OUT")
kill -HUP "$HELPER_PID"
ready_lines() { [ "$(grep -cx READY "$HELPER_OUT")" = "$1" ]; }
if ! wait_until 20 ready_lines 2; then
  echo "demo: the helper did not become ready on the second server:" >&2
  cat "$HELPER_OUT" "$HELPER_ERR" >&2
  exit 1
fi
echo "new status lines:"
tail -n +"$((lines_before + 1))" "$HELPER_OUT" | sed 's/^/    /'
show ip route get "$ENDPOINT2_4"
show ip route get "$ENDPOINT4"
converse "$SERVER4" "$ENDPOINT2_4" "the second VPN server's address: through the tunnel to it"
converse "$BYPASS_HOST4" "$ROUTER2_OUT4" "the second router's address: the bypass prefix stays around the tunnel"

section "SIGTERM"
lines_before=$(wc -l < "$HELPER_OUT")
stop_helper TERM
echo "new status lines:"
tail -n +"$((lines_before + 1))" "$HELPER_OUT" | sed 's/^/    /'
echo "exit status: $HELPER_STATUS"
show ip link show zelmo_vpn-tun0
echo "back to the first network"
leave_second_network
first_network_up
resolve "$ANSWER_ROUTER" "the home router answers again"

section "Host state compared with the snapshot before the run"
after=$(testbed_snapshot)
if [ "$before" == "$after" ]; then
  echo "$ diff before after"
  echo "    (no difference: routes, rules, iptables, ip6tables, nft tables, links, cgroups,"
  echo "    src_valid_mark and route_localnet are as before)"
  status=0
else
  echo "DIFFERENT:"
  diff <(echo "$before") <(echo "$after") | sed 's/^/    /'
  status=1
fi
[ "$HELPER_STATUS" = 0 ] && [ "$(tail -n 1 "$HELPER_OUT")" = STOPPED ] || status=1
[ "$conversations_ok" = 1 ] || status=1
exit "$status"
