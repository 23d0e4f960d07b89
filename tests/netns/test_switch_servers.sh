#!/bin/bash
# Switching servers in place, in the routed topology with two VPN servers
# and the leak stream counted at the home router. Under the kill switch a
# SIGHUP after the client rewrote the configuration moves the host's
# stream from the first server to the second with nothing outside the
# tunnel in between, where today's stop and start lets part of it out
# (and the stream leaves outright without the helper). Afterwards the
# server sees the second server's address in both families, everything
# that named the first server or the old TUN device names the new ones,
# and STOPPED leaves the host as before the run. A selected program's
# socket opened before the switch keeps its policy: through the new tunnel
# with vpnOnlySelected, around it with bypassSelected.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_switch.sh"
switch_setup
BEFORE=$(testbed_snapshot)
APP=$(echo "switchapp$RANDOM$RANDOM" | cut -c1-15)
# What names either server or TUN device on the host.
NAMES=(zelmo_vpn-tun0 "$ENDPOINT4" "$ENDPOINT6" zelmo_vpn-tun1 "$ENDPOINT2_4" "$ENDPOINT2_6")
# The status lines from the first READY on, the address lines cut short.
since_ready() {
  sed -n '/^READY$/,$p' "$HELPER_OUT" | grep -E '^(INFO: (tun_name|endpoint)=|INFO: ip (-6 )?addr |READY$|ERROR: )' |
    sed -E 's/^(INFO: ip (-6 )?addr) .*/\1/'
}

# --- Positive controls: the host's stream leaves through the home router
# without the helper, and during today's switch by stop and start.
stream_start || fail "the stream starts"
assert_eq "counted 0/0/0/0 0/0/0/0" "$(stream_went)" "no helper: the stream leaves through the home router"
switch_start --kill-switch || fail "READY on the first server ($(cat "$HELPER_ERR"))"
outside_reset
stop_helper
routed_start_helper_on "$SECOND" --kill-switch || fail "READY after a start on the second server"
sleep 0.5
control=$(outside_counts)
[[ $control =~ [1-9] ]] && pass "stop and start: the stream left outside the tunnel in between ($control)" ||
  fail "stop and start: nothing of the stream left outside the tunnel ($control): the counters see no leak"
stop_helper

# --- The switch under the kill switch, to a new TUN name.
switch_start --kill-switch || fail "READY on the first server ($(cat "$HELPER_ERR"))"
assert_eq "0/0/0/0 counted 0/0/0/0" "$(stream_went)" "READY: the stream arrives through the first server only"
assert_eq "$ENDPOINT4 $ENDPOINT6" "$(seen "$SERVER4") $(seen "$SERVER6")" "READY: conversations through the first server"
assert_eq "zelmo_vpn-tun0:yes $ENDPOINT4:yes $ENDPOINT6:yes zelmo_vpn-tun1:no $ENDPOINT2_4:no $ENDPOINT2_6:no" \
  "$(named "${NAMES[@]}")" "READY: the host names the first server and its TUN device alone"
outside_reset
through_reset
assert_eq READY "$(switch_to "$SECOND")" "SIGHUP: READY on the second server"
sleep 0.5
assert_eq "0/0/0/0" "$(outside_counts)" "SIGHUP: nothing of the stream left outside the tunnel from SIGHUP to half a second after READY"
echo "    meanwhile through the first server $(through_counts), the second $(through_counts 2)"
assert_eq "0/0/0/0 0/0/0/0 counted" "$(stream_went)" "switched: the stream arrives through the second server only"
assert_eq "$ENDPOINT2_4 $ENDPOINT2_6" "$(seen "$SERVER4") $(seen "$SERVER6")" \
  "switched: conversations through the second server in both families"
assert_eq "zelmo_vpn-tun0:no $ENDPOINT4:no $ENDPOINT6:no zelmo_vpn-tun1:yes $ENDPOINT2_4:yes $ENDPOINT2_6:yes" \
  "$(named "${NAMES[@]}")" \
  "switched: the routes, chains and tables name the second server and the new TUN device, nothing the first"
assert_eq "READY
INFO: tun_name=zelmo_vpn-tun1
INFO: endpoint=$ENDPOINT2_NAME bypass4=[$ENDPOINT2_4] bypass6=[$ENDPOINT2_6]
INFO: ip addr
INFO: ip -6 addr
READY" "$(since_ready)" "switched: the plan lines, the address lines and READY again"
stream_stop > /dev/null
stop_and_compare switched

# --- A selected program's stream, its sockets opened before the switch:
# where it went on the first server and on the second ("OUTSIDE FIRST SECOND").
while read -r mode on_first on_second; do
  switch_start --kill-switch --app-routing-policy "{\"enabled\":true,\"mode\":\"$mode\",\"apps\":[\"$APP\"]}" ||
    fail "$mode: READY on the first server ($(cat "$HELPER_ERR"))"
  stream_start "app:$APP" || fail "$mode: the program's stream starts"
  assert_eq "${on_first//_/ }" "$(stream_went)" "$mode: the program's stream on the first server"
  assert_eq READY "$(switch_to "$SECOND")" "$mode: READY on the second server"
  assert_eq "${on_second//_/ }" "$(stream_went)" "$mode: the same sockets after the switch"
  assert_eq "zelmo_vpn-tun0:no zelmo_vpn-tun1:yes" "$(named zelmo_vpn-tun0 zelmo_vpn-tun1)" \
    "$mode: what named the old TUN device names the new one"
  stream_stop "app:$APP" > /dev/null
  stop_and_compare "$mode"
done << TABLE
vpnOnlySelected 0/0/0/0_counted_0/0/0/0 0/0/0/0_0/0/0/0_counted
bypassSelected counted_0/0/0/0_0/0/0/0 counted_0/0/0/0_0/0/0/0
TABLE
testbed_finish
