#!/bin/bash
# The leak stream and its counters, beside their positive controls, in the
# routed topology with a second VPN server. Without the helper the stream
# of the host and of a container leaves through the home router in both
# families. READY with the kill switch, nothing of the host's stream does
# while it arrives through the tunnel, and a bypassing program's stream
# still leaves through the router. Stopped and started on the second server,
# the stream arrives through that one; what left outside the tunnel in
# between is printed as information, not judged.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_second_vpn
routed_container box
stream_setup
SECOND="$TESTBED_TMP/second.json"
routed_write_second_config "$SECOND"
APP=$(echo "leakapp$RANDOM$RANDOM" | cut -c1-15)

# stream_for WHERE SECONDS: WHERE's stream runs for SECONDS with the counters
# zeroed at its start.
stream_for() {
  stream_start "$1" || fail "$1: the stream starts"
  outside_reset
  through_reset
  sleep "$2"
  stream_stop "$1" > /dev/null
}
# switch_line KIND SENT INTERVAL_MS: where KIND's SENT packets went; those
# through neither server, at one per INTERVAL_MS, are the time without a tunnel.
switch_line() {
  local first second
  first=$(through_count "$1") second=$(through_count "$1" 2)
  echo "    $1: $2 sent; through the first server $first, the second $second," \
    "neither $(($2 - first - second)) (~$((($2 - first - second) * $3)) ms without a tunnel)," \
    "of which outside the tunnel $(outside_count "$1")"
}

# --- Without the helper: outside, in both families, from each source.
for where in host ct:box; do
  stream_for "$where" 1
  assert_eq "counted 0/0/0/0" "$(stream_counted "$(outside_counts)") $(through_counts)" \
    "no helper, $where: the stream leaves through the home router"
done

# --- READY with the kill switch: the host's stream only through the tunnel;
# the bypassing program's stream on the same counters outside.
routed_start_helper --kill-switch \
  --app-routing-policy "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"$APP\"]}" ||
  fail "READY on the first server ($(cat "$HELPER_ERR"))"
stream_for host 1
assert_eq "0/0/0/0 counted" "$(outside_counts) $(stream_counted "$(through_counts)")" \
  "READY: the host's stream arrives through the first server only"
stream_for "app:$APP" 1
assert_eq "counted" "$(stream_counted "$(outside_counts)")" "READY: a bypassing program's stream leaves outside"

# --- Today's switch: SIGTERM, then a start on the second server. The
# stream runs from just before the stop to just after READY, so each of its
# datagrams and SYNs went through the first server, the second, outside the
# tunnel, or nowhere.
outside_reset
through_reset
stream_start || fail "the stream starts"
start_ns=$(date +%s%N)
stop_helper
routed_start_helper_on "$SECOND" --kill-switch || fail "READY on the second server ($(cat "$HELPER_ERR"))"
echo "    switch by stop and start: $((($(date +%s%N) - start_ns) / 1000000)) ms from SIGTERM to READY"
sent=$(stream_stop)
sleep 0.2
for family in 4 6; do
  switch_line "udp$family" $(($(stream_figure "$sent" "udp${family}_sent") + $(stream_figure "$sent" "udp${family}_errors"))) 10
  switch_line "syn$family" "$(stream_figure "$sent" "tcp${family}_attempts")" 100
done
echo "    the stream's own counts: $sent"

stream_start || fail "the stream starts again"
through_reset
outside_reset
sleep 1
assert_eq "0/0/0/0 0/0/0/0 counted" "$(outside_counts) $(through_counts) $(stream_counted "$(through_counts 2)")" \
  "READY again: the stream arrives through the second server only"
stop_helper
stream_stop > /dev/null
testbed_finish
