#!/usr/bin/env bash
# The capability gate: which processes it lets through, the lines it prints,
# and that the tools the helper starts hold CAP_NET_ADMIN in their ambient
# set. The cleanup mode is the privileged mode used: it always runs ip and
# iptables, and changes nothing in a fresh namespace.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_enter "$@"
testbed_setup

NOT_EFFECTIVE="ERROR: CAP_NET_ADMIN is not effective in helper process"
NO_AMBIENT="ERROR: failed to enable ambient CAP_NET_ADMIN"
NET_ADMIN_BIT=$((1 << 12))

# has_net_admin HEX: the mask holds bit 12.
has_net_admin() { [ $((0x$1 & NET_ADMIN_BIT)) -ne 0 ]; }

# cap_field NAME: the value of NAME= in the first line of $OUT.
cap_field() { head -n 1 <<< "$OUT" | sed -nE "s/.* $1=([^ ]*).*/\1/p"; }

# A world-readable place for the unprivileged cases: the test bed's own
# temporary directory is private to root.
shared=/run/lvh-lifecycle-cap
mkdir -m 0755 "$shared"

# --- root passes
run_to_end --cleanup
assert_eq 0 "$STATUS" "root: exit status"
assert_eq 2 "$(wc -l <<< "$OUT")" "root: two lines"
if head -n 1 <<< "$OUT" | grep -qE "$CAPABILITY_LINE_RE"; then pass "root: capability line"; else fail "root: capability line: $OUT"; fi
assert_contains "$(head -n 1 <<< "$OUT")" "INFO: helper pid=" "root: pid printed"
has_net_admin "$(cap_field CapEff)" && pass "root: CapEff holds CAP_NET_ADMIN" || fail "root: CapEff $(cap_field CapEff)"
assert_eq 0 "$(cap_field NoNewPrivs)" "root: NoNewPrivs printed"
assert_eq CLEANED "$(tail -n 1 <<< "$OUT")" "root: mode ran"

# --- CAP_NET_ADMIN out of the bounding set: root's exec gets no effective CAP_NET_ADMIN
OUT=$(setpriv --bounding-set=-net_admin -- "$LVH_HELPER" --cleanup); STATUS=$?
assert_eq 2 "$STATUS" "dropped: exit status"
assert_eq 2 "$(wc -l <<< "$OUT")" "dropped: lines 1 and 2 only"
if head -n 1 <<< "$OUT" | grep -qE "$CAPABILITY_LINE_RE"; then pass "dropped: capability line"; else fail "dropped: capability line: $OUT"; fi
has_net_admin "$(cap_field CapEff)" && fail "dropped: CapEff still has CAP_NET_ADMIN" || pass "dropped: CapEff without CAP_NET_ADMIN"
assert_eq "$NOT_EFFECTIVE" "$(tail -n 1 <<< "$OUT")" "dropped: line 2"

# The same with capsh, which drops it from the shell that starts the helper.
OUT=$(capsh --drop=cap_net_admin -- -c "exec '$LVH_HELPER' --remove-app-bypass-policy"); STATUS=$?
assert_eq 2 "$STATUS" "capsh drop: exit status"
assert_eq "$NOT_EFFECTIVE" "$(tail -n 1 <<< "$OUT")" "capsh drop: line 2"
assert_not_contains "$OUT" APP_ROUTING_REMOVED "capsh drop: the mode did not run"

# An unprivileged user without any capability.
OUT=$(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- "$LVH_HELPER" --cleanup); STATUS=$?
assert_eq 2 "$STATUS" "nobody: exit status"
assert_eq "$NOT_EFFECTIVE" "$(tail -n 1 <<< "$OUT")" "nobody: line 2"
assert_eq 0000000000000000 "$(cap_field CapEff)" "nobody: empty CapEff printed"

# --- the ambient raise refused by the securebit that forbids it: line 3
OUT=$(capsh --secbits=0x40 -- -c "exec '$LVH_HELPER' --cleanup"); STATUS=$?
assert_eq 2 "$STATUS" "no ambient raise: exit status"
assert_eq 2 "$(wc -l <<< "$OUT")" "no ambient raise: lines 1 and 3 only"
assert_eq "$NO_AMBIENT" "$(tail -n 1 <<< "$OUT")" "no ambient raise: line 3"

# --- NoNewPrivs is shown and does not block
OUT=$(setpriv --no-new-privs -- "$LVH_HELPER" --cleanup); STATUS=$?
assert_eq 0 "$STATUS" "no_new_privs: exit status"
assert_eq 1 "$(cap_field NoNewPrivs)" "no_new_privs: NoNewPrivs=1 printed"
assert_eq CLEANED "$(tail -n 1 <<< "$OUT")" "no_new_privs: mode ran"

# --- tools started by the helper hold CAP_NET_ADMIN in their ambient set.
# Shims for ip and iptables record their own capability sets, then run the
# real tool.
shims="$shared/shims"
mkdir -m 0755 "$shims"
caps_log="$shared/tool-caps.log"
: > "$caps_log"; chmod 0666 "$caps_log"
for tool in ip iptables; do
  real=$(command -v "$tool")
  cat > "$shims/$tool" <<SHIM
#!/bin/sh
echo "$tool \$(grep -E '^Cap(Amb|Eff):' /proc/\$\$/status | tr -s '\t\n' '  ')" >> "$caps_log"
exec "$real" "\$@"
SHIM
  chmod 0755 "$shims/$tool"
done

OUT=$(PATH="$shims:$PATH" "$LVH_HELPER" --cleanup); STATUS=$?
assert_eq 0 "$STATUS" "root with shims: exit status"
grep -q '^ip ' "$caps_log" && pass "root: ip was started" || fail "root: ip was never started"
grep -q '^iptables ' "$caps_log" && pass "root: iptables was started" || fail "root: iptables was never started"
without=$(awk '{ for (i = 2; i < NF; i++) if ($i == "CapAmb:") print $(i + 1) }' "$caps_log" |
  while read -r amb; do has_net_admin "$amb" || echo "$amb"; done)
assert_eq "" "$without" "root: every tool holds CAP_NET_ADMIN in its ambient set"

# A non-root helper holding CAP_NET_ADMIN only through a file capability:
# its tools can hold it only because the helper raised it into the ambient set.
# Such a helper runs the system's tools whatever the caller's PATH says, so
# for this run the ip shim is mounted over the system's ip (in this test's
# own mount namespace); the caller's PATH still names the shims.
install -m 0755 "$LVH_HELPER" "$shared/linux_vpn_helper"
setcap cap_net_admin+ep "$shared/linux_vpn_helper" || fail "setcap"
system_ip=$(readlink -f "$(command -v ip)")
install -m 0755 "$system_ip" "$shared/ip.real"
sed "s|^exec .*|exec $shared/ip.real \"\$@\"|" "$shims/ip" > "$shared/ip.mounted"
chmod 0755 "$shared/ip.mounted"
mount --bind "$shared/ip.mounted" "$system_ip"
: > "$caps_log"
OUT=$(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- \
  env PATH="$shims:$PATH" "$shared/linux_vpn_helper" --cleanup); STATUS=$?
umount "$system_ip"
assert_eq 0 "$STATUS" "file capability: exit status"
assert_eq 0000000000001000 "$(cap_field CapEff)" "file capability: only CAP_NET_ADMIN effective"
assert_eq CLEANED "$(tail -n 1 <<< "$OUT")" "file capability: mode ran"
grep -q '^ip ' "$caps_log" && pass "file capability: ip was started" || fail "file capability: ip was never started"
grep -q '^iptables ' "$caps_log" && fail "file capability: the caller's iptables ran" ||
  pass "file capability: the caller's PATH was not used (its iptables shim ran for root)"
eff_amb=$(awk '{ for (i = 2; i < NF; i++) if ($i == "CapAmb:" || $i == "CapEff:") print $(i + 1) }' "$caps_log" | sort -u)
assert_eq 0000000000001000 "$eff_amb" "file capability: tools hold exactly CAP_NET_ADMIN, effective and ambient"

testbed_finish
