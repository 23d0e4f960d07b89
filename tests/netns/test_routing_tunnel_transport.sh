#!/bin/bash
# Tunnel conversations end to end in the routed topology: the stand-in
# engine carries them to the VPN server as UDP datagrams of its own, and it
# is the endpoint's host route that keeps those datagrams off the tunnel.
# Without it the kernel routes them into the TUN device as well, the engine
# drops them there (it never wraps its own datagrams again), and no tunnel
# conversation completes; with the route back they complete again. The
# helper keeps its own routes as they should be, so the endpoint is sent
# into the TUN device by routes of a lower metric beside them, which are
# not the helper's and which it leaves alone.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
CONFIG="$TESTBED_TMP/config.json"
routed_write_config "$CONFIG" qtun0
PACKETS="$TESTBED_TMP/packets.log"
BEFORE=$(testbed_snapshot)

# What the servers saw of one tunnel conversation per family.
tunnel_conversations() { echo "$(conv "$SERVER4") $(conv "$SERVER6")"; }
# endpoint_routes_into_tunnel add|del: host routes for the endpoint into
# the TUN device, preferred to the helper's (a lower metric).
endpoint_routes_into_tunnel() {
  ip route "$1" "$ENDPOINT4/32" dev qtun0 metric 2
  ip -6 route "$1" "$ENDPOINT6/128" dev qtun0 metric 2
}
# Packets that entered the TUN device: the engine's own datagrams to the
# server, and everything else.
own_datagrams() { grep -c " $ENDPOINT4 $TUNNEL_PORT\$" "$PACKETS"; }
other_packets() { grep -vc " $ENDPOINT4 $TUNNEL_PORT\$" "$PACKETS"; }

LVH_ENGINE_PACKET_LOG="$PACKETS" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
  --dat-dir "$TESTBED_TMP"
wait_for_line READY && pass "the helper is READY" || fail "READY (stderr: $(cat "$HELPER_ERR"))"
assert_eq "$ENDPOINT4 via $GW_IP4 dev eth0 metric 3
$ENDPOINT6 via $GW_IP6 dev eth0 metric 3" \
  "$({ ip -4 route show "$ENDPOINT4/32"; ip -6 route show "$ENDPOINT6/128"; } | sed -E 's/ pref medium//; s/ +$//')" \
  "the helper installed the endpoint's host routes"
assert_eq "$ENDPOINT4 $ENDPOINT6" "$(tunnel_conversations)" \
  "through the tunnel the servers see the endpoint's addresses"

endpoint_routes_into_tunnel add
: > "$PACKETS"
assert_eq "timeout timeout" "$(tunnel_conversations)" \
  "without the endpoint's host routes no tunnel conversation completes"
# Each packet entering the device comes back once as the engine's own
# datagram and ends there; carried again it would come back again.
for try in $(seq 20); do
  [ "$(own_datagrams)" = "$(other_packets)" ] && break
  sleep 0.05
done
[ "$(own_datagrams)" -ge 2 ] && pass "the engine's own datagrams entered the device" ||
  fail "no own datagram entered the device (log: $(cat "$PACKETS"))"
assert_eq "own datagrams=$(other_packets)" "own datagrams=$(own_datagrams)" \
  "each came back once per packet carried and was dropped there"

endpoint_routes_into_tunnel del
assert_eq "$ENDPOINT4 $ENDPOINT6" "$(tunnel_conversations)" \
  "with the endpoint's host routes in charge again the tunnel conversations complete again"

stop_helper
assert_eq "0|STOPPED" "$HELPER_STATUS|$(tail -n 1 "$HELPER_OUT")" "the run ends with STOPPED"
assert_eq "$BEFORE" "$(testbed_snapshot)" "host exactly as before the run"
testbed_finish
