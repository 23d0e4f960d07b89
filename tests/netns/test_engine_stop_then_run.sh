#!/bin/bash
# The stand-in engine in one process, without the helper: a run, its stop
# and a run of another configuration (another TUN device, the second VPN
# server) each carry conversations through the server they name; a stop
# removes the device, whose name a later run can take again. While the
# refuse file exists a run is refused and makes nothing; once it is gone
# the same run succeeds.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_second_vpn
FIRST="$TESTBED_TMP/first.json"
SECOND="$TESTBED_TMP/second.json"
routed_write_config "$FIRST" drvtun0
routed_write_second_config "$SECOND" drvtun1
export LVH_ENGINE_REFUSE_FILE="$TESTBED_TMP/refuse"
engine_driver_start || fail "the driver loads the engine"

# step COMMAND: the driver's answer, then the devices, then where
# conversations to the internet's servers lead (each device that exists
# carries them: the engine's own datagrams keep the default route).
step() {
  local answer tun devices=""
  answer=$(engine_driver_do "$@")
  for tun in drvtun0 drvtun1; do
    ip link show "$tun" > /dev/null 2>&1 || continue
    devices+=" $tun"
    ip route replace "$SERVER4/32" dev "$tun"
    ip -6 route replace "$SERVER6/128" dev "$tun"
  done
  echo "$answer |${devices:- none} | $(seen "$SERVER4") $(seen "$SERVER6")"
}
REFUSED='{"success":false,"error":"engine refused the configuration"}'

assert_eq "{\"success\":true,\"tun\":\"drvtun0\"} | drvtun0 | $ENDPOINT4 $ENDPOINT6" \
  "$(step run "$FIRST")" "first run: its device carries conversations through the first server"
assert_eq "stopped | none | $ROUTER_OUT4 $ROUTER_OUT6" "$(step stop)" "stop: the device is gone"
touch "$LVH_ENGINE_REFUSE_FILE"
assert_eq "$REFUSED | none | $ROUTER_OUT4 $ROUTER_OUT6" "$(step run "$SECOND")" \
  "refuse file: the run is refused and makes nothing"
rm "$LVH_ENGINE_REFUSE_FILE"
assert_eq "{\"success\":true,\"tun\":\"drvtun1\"} | drvtun1 | $ENDPOINT2_4 $ENDPOINT2_6" \
  "$(step run "$SECOND")" "second run in the same process: through the second server"
assert_eq "stopped | none | $ROUTER_OUT4 $ROUTER_OUT6" "$(step stop)" "second stop: the device is gone"
assert_eq "{\"success\":true,\"tun\":\"drvtun0\"} | drvtun0 | $ENDPOINT4 $ENDPOINT6" \
  "$(step run "$FIRST")" "the first configuration again: a device of a name used before"
testbed_finish
