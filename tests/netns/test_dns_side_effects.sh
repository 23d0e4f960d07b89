#!/bin/bash
# What the name-lookup redirect does besides redirecting, in the routed
# topology with real resolvers (tests/netns/lib_dns.sh):
# - route_localnet, raised on the TUN device for a tunnel-only program's
#   lookups to a loopback stub, opens nothing of the host's loopback to the
#   tunnel's far end: packets the VPN server writes into the tunnel for, or
#   from, 127.0.0.0/8 get nothing back and reach no service, with and
#   without the kill switch, under strict reverse-path filtering; beside
#   them the same packets to the tunnel's address arrive, and the selected
#   program's lookups to the stub are still answered through the tunnel;
# - the connection-tracking entries it deletes are only those it changed:
#   LAN clients of the resolver the host publishes for a container keep
#   their flows (their entries, by id) across the install, a repair and the
#   removal, with and without the kill switch, and are answered (under the
#   kill switch a flow begun before it carries no label of an incoming
#   connection, so there the client asks from a flow begun after READY),
#   while the host's own lookup flow that began before READY is redirected
#   after it, one that began while the table was away is deleted at the
#   repair, and the redirected one goes its old way again after STOPPED.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_dns.sh"
routed_setup
dns_setup
dns_containers
routed_rp_filter 1
APP=$(echo "sideapp$RANDOM$RANDOM" | cut -c1-15)
TUN_ADDRESS4=172.19.0.1
BEFORE=$(testbed_snapshot)

# On the host: a service on loopback alone, a stub that answers by itself,
# and a datagram sink on every address.
LOOPBACK_PORT=7100 SINK_PORT=7101 LOCAL_STUB=127.0.0.54
socat TCP4-LISTEN:$LOOPBACK_PORT,bind=127.0.0.1,reuseaddr,fork SYSTEM:'echo loopback' 2>/dev/null &
dns_resolver host --listen-address="$LOCAL_STUB" --host-record="$LOOKUP_NAME,$ANSWER_NEIGHBOUR"
socat -u UDP4-RECV:$SINK_PORT OPEN:"$TESTBED_TMP/sink",creat,append 2>/dev/null &
# In the VPN server's namespace: what it sends to the tunnel's address on
# these ports is rewritten, after its routing, to loopback destinations or
# a loopback source; whatever comes back through the tunnel from
# 127.0.0.0/8 is counted before its routing could drop it.
vpn_exec nft -f - <<NFT
table ip inject {
  chain out {
    type filter hook postrouting priority 0; policy accept;
    oifname "tunsrv0" ip daddr $TUN_ADDRESS4 tcp dport $LOOPBACK_PORT ip daddr set 127.0.0.1
    oifname "tunsrv0" ip daddr $TUN_ADDRESS4 udp dport 53 ip daddr set $LOCAL_STUB
    oifname "tunsrv0" ip daddr $TUN_ADDRESS4 udp dport $SINK_PORT udp sport 9 ip saddr set 127.0.0.1
  }
  chain answers {
    type filter hook prerouting priority raw; policy accept;
    iifname "tunsrv0" ip saddr 127.0.0.0/8 counter
  }
}
NFT
loopback_answers() { vpn_exec nft list chain ip inject answers | awk '/counter/ { print $(NF - 2) }'; }
sunk() { wc -l < "$TESTBED_TMP/sink" 2>/dev/null || echo 0; }

# "SINK FROM-LOOPBACK ANSWERS": datagrams the sink got from the tunnel's
# far end as it is and with a loopback source, then the answers that came
# back from 127.0.0.0/8 to a SYN for the loopback service and a query for
# the loopback stub.
injected() {
  local before=$(sunk) plain from_loopback
  vpn_exec bash -c "echo plain | socat -u - UDP4-SENDTO:$TUN_ADDRESS4:$SINK_PORT"
  wait_until 5 eval '[ "$(sunk)" -gt "$before" ]'
  plain=$(($(sunk) - before))
  vpn_exec bash -c "echo spoofed | socat -u - UDP4-SENDTO:$TUN_ADDRESS4:$SINK_PORT,sourceport=9"
  sleep 1
  from_loopback=$(($(sunk) - before - plain))
  vpn_exec nft reset counters table ip inject > /dev/null
  vpn_exec timeout 3 socat -u - "TCP4:$TUN_ADDRESS4:$LOOPBACK_PORT,connect-timeout=2" < /dev/null 2>/dev/null
  vpn_exec bash -c "$(declare -f query_from_port); LOOKUP_NAME=$LOOKUP_NAME; query_from_port 5454 $TUN_ADDRESS4" > /dev/null
  echo "$plain $from_loopback $(loopback_answers)"
}

for ks in "" on; do
  what="vpnOnlySelected, --dns${ks:+, kill switch}"
  routed_start_helper --dns "$TUNNEL_DNS4" ${ks:+--kill-switch} \
    --app-routing-policy "{\"enabled\":true,\"mode\":\"vpnOnlySelected\",\"apps\":[\"$APP\"]}" ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  assert_eq 1 "$(sysctl -n net.ipv4.conf.zelmo_vpn-tun0.route_localnet)" "$what: route_localnet raised"
  # Also what makes the tunnel carry the VPN server's packets to the host.
  dns_use "$STUB_DNS4"
  assert_eq "$ANSWER_TUNNEL" "$(lookup_as_app "$APP")" \
    "$what: the selected program's lookup to the loopback stub is answered through the tunnel"
  assert_eq "1 0 0" "$(injected)" \
    "$what: the far end reaches the tunnel's address, nothing on loopback, and gets nothing back"
  stop_helper
done

# A LAN client's flow to the published resolver (the router's namespace,
# by its source port), and the ids of the entries of those flows; a host
# flow by source port.
published_query() {
  gw_exec bash -c "$(declare -f query_from_port); LOOKUP_NAME=$LOOKUP_NAME; query_from_port $1 [$HOST_IP6]"
}
published_entries() {
  local port
  for port in "$@"; do
    conntrack -L -f ipv6 -p udp --orig-port-src "$port" -o id 2>/dev/null | grep -o 'id=[0-9]*' || echo none
  done | xargs
}
host_entries() { conntrack -L -p udp --orig-port-src "$1" 2>/dev/null | grep -c 'dport=53 '; }
for ks in "" on; do
  what="published resolver${ks:+, kill switch}"
  conntrack -D -p udp --orig-port-dst 53 > /dev/null 2>&1
  assert_eq "$ANSWER_NEIGHBOUR $ANSWER_ROUTER" "$(published_query 5300) $(query_from_port 5353 "$GW_IP4")" \
    "$what: before the run the LAN asks the container, the host the router"
  before=$(published_entries 5300)
  routed_start_helper --dns "$TUNNEL_DNS4,$TUNNEL_DNS6" ${ks:+--kill-switch} ||
    fail "$what: READY ($(cat "$HELPER_ERR"))"
  assert_eq "$before $ANSWER_TUNNEL" "$(published_entries 5300) $(query_from_port 5353 "$GW_IP4")" \
    "$what, READY: the LAN client's flow is kept; the host's, begun before, is redirected"
  port=5300
  [ -n "$ks" ] && port=5301
  assert_eq "$ANSWER_NEIGHBOUR" "$(published_query $port)" "$what, READY: the LAN client is answered"
  entries=$(published_entries 5300 5301)
  # A lookup flow that begins while the table is away.
  conntrack -I -p udp -s "$HOST_IP4" -d "$GW_IP4" --sport 5400 --dport 53 -t 60 > /dev/null 2>&1
  nft delete table inet zelmo-vpn-dns
  wait_for_line "INFO: restored name-lookup redirect" 10 || fail "$what: the table is restored"
  assert_eq "$entries 0" "$(published_entries 5300 5301) $(host_entries 5400)" \
    "$what, repaired: the LAN clients' flows are kept, the one begun in the gap is gone"
  assert_eq "$ANSWER_NEIGHBOUR" "$(published_query $port)" "$what, repaired: the LAN client is answered"
  stop_helper
  assert_eq "$entries $ANSWER_ROUTER" "$(published_entries 5300 5301) $(query_from_port 5353 "$GW_IP4")" \
    "$what, STOPPED: the LAN clients' flows are kept; the redirected one goes its old way again"
  assert_eq "$ANSWER_NEIGHBOUR" "$(published_query $port)" "$what, STOPPED: the LAN client is answered"
  conntrack -D -f ipv6 -p udp --orig-port-dst 53 > /dev/null 2>&1
done
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before every run"
testbed_finish
