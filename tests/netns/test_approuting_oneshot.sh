#!/bin/bash
# The one-shot app-routing modes on the real kernel: validate, apply in both
# modes (cgroup, table route, policy rule, one mark rule, running processes
# of the selected programs moved in by command or executable name), apply
# twice, the apply errors in their order, and remove (listed mark rules of
# any base path, the older fixed group, one rule delete per table, members
# handed back before the group goes).
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_approuting.sh"
testbed_enter "$@"
ar_setup_tun

SELECTED=$(ar_unique_name sel)
LONG_NAME=$(ar_unique_name longselected 24)  # command name cut to 15 characters
OTHER=$(ar_unique_name other)
for app in "$SELECTED" "$LONG_NAME" "$OTHER"; do ar_make_app "$app"; done
ar_start_app "$SELECTED"; SELECTED_PID=$AR_PID
ar_start_app "$LONG_NAME"; LONG_PID=$AR_PID
ar_start_app "$OTHER"; OTHER_PID=$AR_PID
UPPER_SELECTED=$(tr a-z A-Z <<< "$SELECTED")
UPPER_LONG=$(tr a-z A-Z <<< "$LONG_NAME")
BYPASS_POLICY=$(ar_policy bypassSelected "$UPPER_SELECTED" "$UPPER_LONG")
BEFORE=$(testbed_snapshot)

# --- Validate mode: one line, no capability check.
run_to_end --validate-app-bypass-policy "$BYPASS_POLICY"
assert_eq "0 OK: Linux cgroup/policy-routing app routing policy is valid" "$STATUS $OUT" \
  "validate: valid policy"
run_to_end --validate-app-bypass-policy '{"enabled":true,"mode":"sideways","apps":["x"]}'
assert_eq "2 ERROR: invalid app bypass policy: mode must be bypassSelected or vpnOnlySelected" \
  "$STATUS $OUT" "validate: bad mode"
run_to_end --validate-app-bypass-policy "$(printf '%65537s' x)"
assert_eq "2 ERROR: invalid app bypass policy: policy is too large" "$STATUS $OUT" \
  "validate: 65,537 bytes"
# A 60 KB mode value would overflow std::regex's stack.
run_to_end --validate-app-bypass-policy \
  "{\"mode\": \"$(head -c 61440 /dev/zero | tr '\0' v)\", $(ar_policy bypassSelected x | cut -c2-)"
assert_eq "0 OK: Linux cgroup/policy-routing app routing policy is valid" "$STATUS $OUT" \
  "validate: 60 KB mode value"

# --- Apply, bypassSelected: processes matched in any case, the long one by
# its executable's file name only.
run_to_end --apply-app-bypass-policy "$BYPASS_POLICY" --tun artun0
assert_eq 0 "$STATUS" "apply bypassSelected: exit 0"
if grep -qE "$CAPABILITY_LINE_RE" <<< "$(head -1 <<< "$OUT")"; then pass "apply: capability line first"; else fail "apply: capability line first"; fi
assert_eq "APP_ROUTING_APPLIED" "$(ar_lines_after_capability "$OUT")" "apply bypassSelected: outcome line"
assert_eq "$GROUP_NAME" "$(ar_cgroups)" "apply: group made under the helper's own cgroup"
assert_eq "default via $GW_IP4 dev eth0
$AR_FALLBACK" "$(ar_table 1066)" "apply: table 1066 via the physical route"
assert_eq "" "$(ar_table 1067)" "apply: table 1067 empty"
assert_eq "1066:	from all fwmark 0x66 lookup 1066" "$(ar_app_rules)" "apply: one rule at priority 1066"
assert_eq "-A OUTPUT -m cgroup --path $GROUP_NAME -j MARK --set-xmark 0x66/0xffffffff" \
  "$(ar_mark_rules)" "apply: one mark rule"
# No IPv6 default route here: the selected programs' IPv6 is refused, not
# sent through the tunnel.
assert_eq "-A OUTPUT -m cgroup --path $GROUP_NAME -j MARK --set-xmark 0x66/0xffffffff|1066:	from all fwmark 0x66 lookup 1066|$AR_FALLBACK6" \
  "$(ar_mark_rules6)|$(ar_app_rules6)|$(ar_table6 1066)" "apply: IPv6 mark rule, rule and a table that refuses"
assert_eq "/$GROUP_NAME /$GROUP_NAME /" \
  "$(ar_cgroup_of "$SELECTED_PID") $(ar_cgroup_of "$LONG_PID") $(ar_cgroup_of "$OTHER_PID")" \
  "apply: selected processes moved (command name, executable name), the other not"
assert_contains "$(ip route get "$DEST4" mark 0x66)" "via $GW_IP4 dev eth0" "apply: marked packets take table 1066"

# --- Applying again leaves one of each.
run_to_end --apply-app-bypass-policy "$BYPASS_POLICY" --tun artun0
assert_eq "0 APPLIED" "$STATUS $(ar_lines_after_capability "$OUT" | sed 's/APP_ROUTING_//')" "apply twice: exit 0"
assert_eq "1 1 2 1 1" "$(ar_app_rules | wc -l) $(ar_mark_rules | wc -l) $(ar_table 1066 | wc -l) $(ar_app_rules6 | wc -l) $(ar_mark_rules6 | wc -l)" \
  "apply twice: one rule, one mark rule, one route and its fallback, in both families"
assert_eq "/$GROUP_NAME /$GROUP_NAME" "$(ar_cgroup_of "$SELECTED_PID") $(ar_cgroup_of "$LONG_PID")" \
  "apply twice: the members are in the new group"

# --- Remove: members handed back, then everything gone.
run_to_end --remove-app-bypass-policy
assert_eq "0 APP_ROUTING_REMOVED" "$STATUS $(ar_lines_after_capability "$OUT")" "remove: outcome line"
assert_eq "/ / /" \
  "$(ar_cgroup_of "$SELECTED_PID") $(ar_cgroup_of "$LONG_PID") $(ar_cgroup_of "$OTHER_PID")" \
  "remove: members handed back to the parent"
assert_eq "$BEFORE" "$(testbed_snapshot)" "remove: host as before the apply"

# --- Apply, vpnOnlySelected: table 1067 through the TUN device, rule
# priority 1066; no default route needed.
ip route del default
run_to_end --apply-app-bypass-policy "$(ar_policy vpnOnlySelected "$SELECTED")" --tun artun0
assert_eq "0 APP_ROUTING_APPLIED" "$STATUS $(ar_lines_after_capability "$OUT")" \
  "apply vpnOnlySelected without a default route"
assert_eq "default dev artun0 scope link
$AR_FALLBACK" "$(ar_table 1067)" "apply vpnOnlySelected: table 1067 via the TUN device"
assert_eq "default dev artun0 metric 1024
$AR_FALLBACK6" "$(ar_table6 1067)" "apply vpnOnlySelected: IPv6 table 1067 via the TUN device"
assert_eq "1066:	from all fwmark 0x66 lookup 1067" "$(ar_app_rules)" "apply vpnOnlySelected: rule priority 1066"
assert_eq "1/1" "$(ar_guards)" "apply vpnOnlySelected: the guard in both families"
assert_eq "/$GROUP_NAME" "$(ar_cgroup_of "$SELECTED_PID")" "apply vpnOnlySelected: process moved"
assert_contains "$(ip route get "$DEST4" mark 0x66)" "dev artun0" "apply vpnOnlySelected: marked packets enter the tunnel"
run_to_end --remove-app-bypass-policy
ip route add default via "$GW_IP4" dev eth0
assert_eq "$BEFORE" "$(testbed_snapshot)" "remove after vpnOnlySelected: host as before"

# --- Apply errors, each checked before the next, nothing changed on the host.
apply_error() {  # EXPECTED_LINE WHAT ARGS...
  local expected=$1 what=$2
  shift 2
  run_to_end "$@"
  assert_eq "2 $expected" "$STATUS $(ar_lines_after_capability "$OUT")" "apply error: $what"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "apply error: $what: host unchanged"
}
ONLY_RESERVED='{"enabled":true,"mode":"bypassSelected","apps":["disabled"]}'
ip route del default
BEFORE=$(testbed_snapshot)
apply_error "ERROR: selected app routing requires at least one app" "no apps, before the TUN name" \
  --apply-app-bypass-policy "$ONLY_RESERVED" --tun 'bad;name'
apply_error "ERROR: invalid TUN interface name for app routing" "bad TUN name, before the default route" \
  --apply-app-bypass-policy "$BYPASS_POLICY" --tun 'bad;name'
apply_error "ERROR: original default route is unavailable for app bypass" "no default route in bypassSelected" \
  --apply-app-bypass-policy "$BYPASS_POLICY" --tun artun0
ip route add default via "$GW_IP4" dev eth0
BEFORE=$(testbed_snapshot)
# A safe word, but longer than any interface name (15 bytes).
apply_error "ERROR: invalid TUN interface name for app routing" "16-byte TUN name" \
  --apply-app-bypass-policy "$BYPASS_POLICY" --tun artun0123456789a
apply_error "ERROR: --apply-app-bypass-policy requires --tun" "no --tun" \
  --apply-app-bypass-policy "$BYPASS_POLICY"
apply_error "ERROR: invalid app routing policy: enabled app bypass requires at least one process name" \
  "invalid policy, before --tun" --apply-app-bypass-policy '{"enabled":true,"mode":"bypassSelected","apps":[]}'
# The mode is the first "mode" member, whatever the marker that made the
# document valid; the empty group made before the mode is looked at stays.
run_to_end --apply-app-bypass-policy \
  '{"mode" : "sideways", "enabled":true, "mode":"bypassSelected", "apps":["x"]}' --tun artun0
assert_eq "2 ERROR: unsupported app routing mode" "$STATUS $(ar_lines_after_capability "$OUT")" \
  "apply error: a mode the marker does not fix"
assert_eq "$GROUP_NAME" "$(ar_cgroups)" "apply error: unsupported mode leaves the empty group"
run_to_end --remove-app-bypass-policy
assert_eq "$BEFORE" "$(testbed_snapshot)" "apply error: unsupported mode: the remove mode takes the group"

# --- Remove mode on state from other invocations and an older layout.
mkdir -p "$CG/other.slice/$GROUP_NAME" "$CG/zelmo-vpn/app-routing" "$CG/bad;x/$GROUP_NAME"
iptables -t mangle -A OUTPUT -m cgroup --path "other.slice/$GROUP_NAME" -j MARK --set-mark 0x66
iptables -t mangle -A OUTPUT -m cgroup --path zelmo-vpn/app-routing -j MARK --set-mark 0x66
iptables -t mangle -A OUTPUT -m cgroup --path "bad;x/$GROUP_NAME" -j MARK --set-mark 0x66
assert_contains "$(ar_mark_rules)" "--path \"other.slice/$GROUP_NAME\"" "iptables lists a path with a slash in quotes"
# The kernel refuses a second equal rule, so two that differ in priority
# show that each table gets one delete.
ip rule add fwmark 0x66 lookup 1066 priority 1066
if ip rule add fwmark 0x66 lookup 1066 priority 1066 2>/dev/null; then
  fail "the kernel refuses an equal rule"
else
  pass "the kernel refuses an equal rule"
fi
ip rule add fwmark 0x66 lookup 1066 priority 1070
ip rule add fwmark 0x66 lookup 1067 priority 1066
ip route add default dev artun0 table 1067
run_to_end --apply-app-bypass-policy "$BYPASS_POLICY" --tun artun0
run_to_end --remove-app-bypass-policy
assert_eq "0 APP_ROUTING_REMOVED" "$STATUS $(ar_lines_after_capability "$OUT")" "remove stale state: outcome line"
assert_eq "-A OUTPUT -m cgroup --path \"bad;x/$GROUP_NAME\" -j MARK --set-xmark 0x66/0xffffffff" \
  "$(ar_mark_rules)" "remove: listed mark rules of any base path gone; an unsafe one is left alone"
assert_eq "1070:	from all fwmark 0x66 lookup 1066" "$(ip rule show | grep 'fwmark 0x66')" \
  "remove: one rule delete per table"
assert_eq "" "$(ar_table 1066)$(ar_table 1067)" "remove: both tables flushed"
assert_eq "bad;x
bad;x/$GROUP_NAME
other.slice
other.slice/$GROUP_NAME" "$(ar_cgroups)" "remove: own group and the older fixed group gone, others' groups stay"
assert_eq "/ /" "$(ar_cgroup_of "$SELECTED_PID") $(ar_cgroup_of "$LONG_PID")" "remove: members handed back"
iptables -t mangle -D OUTPUT -m cgroup --path "bad;x/$GROUP_NAME" -j MARK --set-mark 0x66
ip rule del fwmark 0x66 lookup 1066 priority 1070
ar_remove_cgroups other.slice "bad;x"

kill "$SELECTED_PID" "$LONG_PID" "$OTHER_PID"
ar_assert_no_cgroups
testbed_finish
