#!/bin/bash
# The kill switch on a host whose uplink is a bridge (br0 enslaving eth0,
# virtual machines on br0, br_netfilter handing bridged frames to the IP
# hooks): frames bridged between the machines, and between a machine and
# the home router (and through it the internet), stay on the local network
# at layer 2 and pass in every phase, while a machine that uses the host as
# its gateway is routed by the host and held like the host's own traffic:
# through the tunnel while it is up, refused once it is gone. One table:
# each check in each phase of one run, from no helper to after STOPPED;
# the guard's bridge table, deleted while READY, comes back.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
routed_setup
routed_bridged_uplink
BEFORE=$(testbed_snapshot)

# The checks, each printing what the server saw, or "blocked".
seen_or_blocked() {
  local answer
  answer=$("$@" 2>/dev/null | tail -n 1)
  [[ $answer =~ ^[0-9a-f.:]+$ ]] && echo "$answer" || echo blocked
}
vm_to_vm() {
  echo "$(seen_or_blocked vm_conv vm1 "${VM_IP4[vm2]}") $(seen_or_blocked vm_conv vm1 "${VM_IP6[vm2]}")"
}
vm_to_router() { seen_or_blocked vm_conv vm1 "$GW_IP4"; }
vm_to_internet() { seen_or_blocked vm_conv vm1 "$SERVER4"; }
routed_vm() { seen_or_blocked vm_conv vm2 "$SERVER4"; }
host_to_internet() { seen_or_blocked conv "$SERVER4"; }

phase_none() { :; }
phase_ready() { routed_start_helper --kill-switch || fail "READY ($(cat "$HELPER_ERR"))"; }
phase_gone() {
  nft delete table bridge zelmo-vpn-killswitch
  wait_for_line "INFO: restored kill switch guard (bridges)" 10 &&
    pass "the guard's bridge table comes back" || fail "the guard's bridge table comes back"
  ip link delete zelmo_vpn-tun0
}
phase_stopped() {
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "the run stops"
}

VM1="${VM_IP4[vm1]} ${VM_IP6[vm1]}"
R4=$ROUTER_OUT4 E4=$ENDPOINT4
# check | none | ready | gone | stopped
TABLE="
vm_to_vm | $VM1 | $VM1 | $VM1 | $VM1
vm_to_router | ${VM_IP4[vm1]} | ${VM_IP4[vm1]} | ${VM_IP4[vm1]} | ${VM_IP4[vm1]}
vm_to_internet | $R4 | $R4 | $R4 | $R4
routed_vm | $R4 | $E4 | blocked | $R4
host_to_internet | $R4 | $E4 | blocked | $R4
"
column=2
for phase in none ready gone stopped; do
  "phase_$phase"
  while IFS='|' read -r check cells; do
    check=$(echo $check)
    [ -n "$check" ] || continue
    want=$(echo "$cells" | cut -d'|' -f$((column - 1)) | sed -E 's/^ +| +$//g')
    assert_eq "$want" "$($check)" "$phase: $check"
  done <<< "$TABLE"
  column=$((column + 1))
done
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before the run"
testbed_finish
