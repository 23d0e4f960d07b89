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

# rt_write_config FILE TUN_NAME ENDPOINT: an engine configuration with a
# TUN inbound and one server in a vnext array. A name key before the TUN
# inbound and an address key outside vnext must not be taken.
rt_write_config() {
  cat > "$1" <<JSON
{
  "log": { "loglevel": "warning", "name": "not-this" },
  "dns": { "servers": [ { "address": "192.0.2.53" } ] },
  "inbounds": [
    { "tag": "tun-in", "Protocol": "TUN",
      "settings": { "name": "", "tunName": "x", "name" : "$2", "mtu": 1500 } }
  ],
  "outbounds": [
    { "tag": "proxy", "protocol": "vless",
      "settings": { "vnext": [ { "address": "$3", "port": 443, "users": [ { "id": "x" } ] } ] } },
    { "tag": "direct", "protocol": "freedom" }
  ]
}
JSON
}

# The endpoint name resolves through a private /etc/hosts to two IPv4 and
# one IPv6 address.
RT_ENDPOINT=vpn.example.test
RT_ENDPOINT_V4A=198.51.100.7
RT_ENDPOINT_V4B=198.51.100.8
RT_ENDPOINT_V6=2001:db8:99::7
rt_endpoint_hosts() {
  testbed_hosts "$RT_ENDPOINT_V4A $RT_ENDPOINT" "$RT_ENDPOINT_V6 $RT_ENDPOINT" \
    "$RT_ENDPOINT_V4B $RT_ENDPOINT"
}

# Duplicates (also after normalisation), empty items, junk and a bare
# address; what survives is RT_BYPASS_LIST.
RT_BYPASS_ARG=' 10.20.0.0/16 ,10.20.9.9/16,,bad;touch /tmp/x,192.168.77.5/24,10.20.0.0/16,203.0.113.9,10.0.0.0/33'
RT_BYPASS_LIST=10.20.0.0/16,192.168.77.0/24
