#!/bin/bash
# The watch wants exactly what the start installed, and the teardown removes
# exactly that. Runs whose start leaves the split and bypass routes out (an
# empty TUN name, one that is no safe word, a vpnOnlySelected policy), or the
# IPv6 ones (no IPv6 default route), with
# an endpoint and bypass prefixes: while READY no route of the helper's
# appears, and the run ends without a word on standard error, leaving the
# host as it was. A run that installs them is the control.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routing.sh"
source "$(dirname "$0")/lib_killswitch.sh"
testbed_setup --ipv6
rt_endpoint_hosts
ks_prime_firewall_tables
BEFORE=$(testbed_snapshot)
SELECTED=onlyapp$RANDOM

# The helper's pinned and split routes of both families.
helper_routes() { { ip -4 route show; ip -6 route show; } | grep -c -E ' metric (3|5) '; }

# run_row TUN POLICY WANT: TUN name in the configuration (none: the helper
# finds none), policy, and the number of the helper's routes while READY.
run_row() {
  local tun=$1 policy=$2 want=$3 what
  what="TUN name '$tun'${policy:+, $policy}${4:+, $4}"
  CONFIG="$TESTBED_TMP/config.json"
  if [ "$tun" = none ]; then
    # The device's name before the protocol key: the engine makes lvhtun0,
    # the helper finds no name.
    echo "{\"inbounds\": [{\"settings\": {\"name\": \"lvhtun0\"}, \"protocol\": \"tun\"}],
      \"outbounds\": [{\"settings\": {\"vnext\": [{\"address\": \"$RT_ENDPOINT\"}]}}]}" > "$CONFIG"
  else
    rt_write_config "$CONFIG" "$tun" "$RT_ENDPOINT"
  fi
  start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
    --bypass-prefixes "$RT_BYPASS_ARG" \
    ${policy:+--app-routing-policy "{\"enabled\":true,\"mode\":\"$policy\",\"apps\":[\"$SELECTED\"]}"}
  wait_for_line READY || fail "$what: READY ($(cat "$HELPER_ERR"))"
  # Past the watch's first look and its notifications.
  sleep 1.5
  assert_eq "$want" "$(helper_routes)" "$what: the helper's routes while READY"
  cp "$HELPER_ERR" "$HELPER_ERR.ready"
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$what: stopped"
  assert_eq "" "$(diff "$HELPER_ERR.ready" "$HELPER_ERR" | grep '^>')" "$what: the teardown says nothing on standard error"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$what: the host as before"
}
while IFS='|' read -r tun policy want; do run_row "$tun" "$policy" "$want"; done <<'ROWS'
lvhtun0||9
none||0
lvh+tun0||0
lvhtun0|vpnOnlySelected|0
ROWS
# Without an IPv6 default route the IPv6 split routes are neither installed
# nor deleted (nor the server's IPv6 route).
ip -6 route del default
BEFORE=$(testbed_snapshot)
run_row lvhtun0 "" 6 "no IPv6 default route"
testbed_finish
