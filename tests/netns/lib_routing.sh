# Helpers for the tunnel routing namespace tests (sourced after testbed_enter).

ROUTING_DRIVER="$LVH_BUILD_DIR/tools/routing_driver/routing_driver"

# rt_driver ARGS...: runs the routing driver under the command recorder.
# RT_COMMANDS holds the recorded command texts ("system: ..." lines), RT_ERR
# its standard error, RT_OUT its standard output.
rt_driver() {
  local record="$TESTBED_TMP/routing.record.$RANDOM"
  : > "$record"
  RT_OUT=$(LVH_RECORD_FILE="$record" LD_PRELOAD="$LVH_RECORDER" "$ROUTING_DRIVER" "$@" \
    2> "$TESTBED_TMP/routing.err")
  RT_COMMANDS=$(cat "$record")
  RT_ERR=$(cat "$TESTBED_TMP/routing.err")
}

# The IPv4 routes of the main table, without the kernel's carrier note (a
# TUN device nobody reads from has no carrier).
rt_routes4() { ip -4 route show | sed 's/ linkdown//'; }
rt_routes6() { ip -6 route show | grep -v -E '^(fe80::/64|multicast|local) |proto kernel' | sed 's/ linkdown//'; }

# rt_route_get ADDRESS [-6]: the device (and gateway) the kernel picks.
rt_route_get() {
  local family=-4
  [ "${2:-}" = -6 ] && family=-6
  ip "$family" route get "$1" | head -1 | sed -E 's/ (src|uid|proto|pref|metric) .*//; s/^[^ ]+ //; s/^from :: //'
}
