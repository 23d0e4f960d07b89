#!/bin/bash
# Real packets of a selected and an unselected process. A socket belongs to
# the cgroup its process was in when it was created, so the selected sender
# waits until the monitor has moved it and only then opens its socket.
# "bypassSelected": the selected process's datagram leaves through the
# physical link (counted at the gateway) while the unselected one enters
# the tunnel (logged by the stand-in engine); "vpnOnlySelected": the reverse.
# A selected process whose socket was opened before the move keeps the old
# path.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_approuting.sh"
testbed_enter "$@"
ar_setup_engine
PACKETS="$TESTBED_TMP/packets.log"
: > "$PACKETS"
SELECTED_PORT=5001
OTHER_PORT=5002
EARLY_SOCKET_PORT=5003

# Selected senders are scripts, so their command name is the script's name.
# write_sender NAME SEND: a script that waits until it has been moved into
# the group, then runs SEND.
mkdir -p "$TESTBED_TMP/bin"
write_sender() {
  cat > "$TESTBED_TMP/bin/$1" <<SCRIPT
#!/bin/bash
for try in \$(seq 200); do
  grep -qx "0::/$GROUP_NAME" /proc/\$\$/cgroup && { $2; exit 0; }
  sleep 0.05
done
exit 1
SCRIPT
  chmod +x "$TESTBED_TMP/bin/$1"
}
SENDER=$(ar_unique_name send)
write_sender "$SENDER" "echo probe > /dev/udp/$DEST4/$SELECTED_PORT"
EARLY_SOCKET=$(ar_unique_name early)
write_sender "$EARLY_SOCKET" "echo probe >&3"

for port in "$SELECTED_PORT" "$OTHER_PORT" "$EARLY_SOCKET_PORT"; do
  gw_count_rule "port$port" iptables -p udp -d "$DEST4" --dport "$port"
done
port_count() { gw_count "port$1" iptables; }  # PORT: datagrams the gateway has seen
tunnel_count() {  # PORT: datagrams the engine has read from the TUN device
  grep -c " $DEST4 $1\$" "$PACKETS"
}
wait_gw_count() { ar_wait_at_least "$2" port_count "$1"; }  # PORT N
wait_tunnel_count() { ar_wait_at_least "$2" tunnel_count "$1"; }  # PORT N
send_unselected() { echo probe > "/dev/udp/$DEST4/$OTHER_PORT"; }
# Runs the selected sender to its end; true when it was moved and sent.
send_selected() { timeout 20 "$TESTBED_TMP/bin/$SENDER"; }
counts() {
  echo "gateway: selected=$(port_count $SELECTED_PORT) other=$(port_count $OTHER_PORT)" \
    "tunnel: selected=$(tunnel_count $SELECTED_PORT) other=$(tunnel_count $OTHER_PORT)"
}

# --- Positive control: without the helper both reach the gateway.
echo probe > "/dev/udp/$DEST4/$SELECTED_PORT"
send_unselected
wait_gw_count "$SELECTED_PORT" 1; wait_gw_count "$OTHER_PORT" 1
assert_eq "gateway: selected=1 other=1 tunnel: selected=0 other=0" "$(counts)" "control: both leave physically"

start_run() {  # MODE
  LVH_ENGINE_PACKET_LOG="$PACKETS" start_helper --lib "$LVH_ENGINE" --config "$CONFIG" \
    --dat-dir "$TESTBED_TMP" --app-routing-policy "$(ar_policy "$1" "$SENDER" "$EARLY_SOCKET")"
  wait_for_line READY && pass "$1: READY" || fail "$1: READY"
}

# --- bypassSelected: the selected process around the tunnel. (The datagram
# keeps the source address picked by the first route lookup, before the
# mark rerouted it: the tunnel's. The helper installs no source NAT, so a
# peer's answer could not come back this way.)
start_run bypassSelected
send_unselected
wait_tunnel_count "$OTHER_PORT" 1
send_selected && pass "bypassSelected: sender moved, then sent" || fail "bypassSelected: sender moved, then sent"
wait_gw_count "$SELECTED_PORT" 2
assert_eq "gateway: selected=2 other=1 tunnel: selected=0 other=1" "$(counts)" \
  "bypassSelected: selected leaves physically, other enters the tunnel"
# The socket is opened by an unselected shell that then becomes the sender.
(exec 3> "/dev/udp/$DEST4/$EARLY_SOCKET_PORT"; exec timeout 20 "$TESTBED_TMP/bin/$EARLY_SOCKET") && pass "early socket: sender moved, then sent" ||
  fail "early socket: sender moved, then sent"
wait_tunnel_count "$EARLY_SOCKET_PORT" 1
assert_eq "tunnel=1 gateway=0" "tunnel=$(tunnel_count $EARLY_SOCKET_PORT) gateway=$(port_count $EARLY_SOCKET_PORT)" \
  "bypassSelected: a socket opened before the move keeps the tunnel path"
stop_helper
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -1 "$HELPER_OUT")" "bypassSelected: STOPPED"

# --- vpnOnlySelected: only the selected process through the tunnel.
start_run vpnOnlySelected
send_unselected
wait_gw_count "$OTHER_PORT" 2
send_selected && pass "vpnOnlySelected: sender moved, then sent" || fail "vpnOnlySelected: sender moved, then sent"
wait_tunnel_count "$SELECTED_PORT" 1
assert_eq "gateway: selected=2 other=2 tunnel: selected=1 other=1" "$(counts)" \
  "vpnOnlySelected: selected enters the tunnel, other leaves physically"
stop_helper
assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -1 "$HELPER_OUT")" "vpnOnlySelected: STOPPED"

# --- After the run the selected program's traffic takes the physical path.
echo probe > "/dev/udp/$DEST4/$SELECTED_PORT"
wait_gw_count "$SELECTED_PORT" 3
assert_eq "gateway: selected=3 other=2 tunnel: selected=1 other=1" "$(counts)" "after STOPPED: physical path"

ar_assert_no_cgroups
testbed_finish
