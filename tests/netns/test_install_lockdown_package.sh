#!/bin/bash
# The package's part in the lockdown block, inside the test bed (its
# removal runs the helper, which must never run in the machine's own
# namespaces): it ships the boot unit that runs --block, disabled; its
# removal ends the block with --unblock, leaving the host as it was, and
# is refused while a helper runs, which would leave a block behind with no
# helper to end it; a purge forgets that the unit was enabled.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_setup --ipv6
testbed_hosts "203.0.113.7 vpn.test"

out="$TESTBED_TMP/package"
(cd "$TESTBED_TMP" && cpack -G DEB --config "$LVH_BUILD_DIR/CPackConfig.cmake" -B "$out") \
  > "$TESTBED_TMP/cpack.log" 2>&1 || { cat "$TESTBED_TMP/cpack.log"; fail "cpack"; testbed_finish; }
deb=$(ls "$out"/*.deb)
unit=usr/lib/systemd/system/linux-vpn-helper-block.service
assert_eq "./$unit" "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -E '\.service$|^\./etc/')" \
  "the boot unit is shipped, and nothing that enables it"
assert_eq "postrm prerm" "$(dpkg-deb -I "$deb" | grep -oE ' (pre|post)(inst|rm) ' | sort | xargs)" \
  "no maintainer script but the removal's (none enables the unit)"
assert_eq "DefaultDependencies=no|Before=network-pre.target shutdown.target|After=nftables.service|ExecStart=/usr/libexec/linux_vpn_helper --block|WantedBy=sysinit.target" \
  "$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./$unit" | grep -E '^(DefaultDependencies|Before|After|ExecStart|WantedBy)=' | paste -sd'|')" \
  "the unit blocks early at boot, before the network comes up and after a firewall service's ruleset"

root="$TESTBED_TMP/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc/systemd/system/sysinit.target.wants"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --force-depends --force-script-chrootless "$@" > "$TESTBED_TMP/dpkg.log" 2>&1; }
installed() { dpkg --root="$root" -s linux-vpn-helper 2>/dev/null | grep -c '^Status: .* ok installed$'; }
dpkg_root -i "$deb" || { cat "$TESTBED_TMP/dpkg.log"; fail "install"; }
helper="$root/usr/libexec/linux_vpn_helper"
BEFORE=$(testbed_snapshot)

assert_eq "0 BLOCKED" "$("$helper" --block | tail -n 1 | sed "s/^/$? /")" "the installed helper blocks"
BLOCKED=$(testbed_snapshot)
assert_contains "$BLOCKED" "table inet zelmo-vpn-block" "the block stands"

config="$TESTBED_TMP/run.json"
write_engine_config "$config" qtun0 vpn.test
start_helper --lib "$LVH_ENGINE" --config "$config" --kill-switch
wait_for_line READY || fail "a run reaches READY"
RUNNING=$(testbed_snapshot)
dpkg_root -r linux-vpn-helper
assert_eq "1 1|$RUNNING" "$? $(installed)|$(testbed_snapshot)" "removal refused while a helper runs; nothing changed"
assert_contains "$(cat "$TESTBED_TMP/dpkg.log")" "ERROR: another linux_vpn_helper is running" "the refusal says why"
stop_helper TERM

# The user had turned the unit on.
ln -s "/$unit" "$root/etc/systemd/system/sysinit.target.wants/"
dpkg_root -r linux-vpn-helper
assert_eq "0 0|$BEFORE" "$? $(installed)|$(testbed_snapshot)" "the removal ends the block: host as before"
assert_eq 1 "$(ls "$root/etc/systemd/system/sysinit.target.wants" | wc -l)" "a removal keeps the unit's enable link"
dpkg_root --purge linux-vpn-helper
assert_eq "0 0" "$? $(ls "$root/etc/systemd/system/sysinit.target.wants" | wc -l)" "a purge drops it"

dpkg_root -i "$deb" && dpkg_root -r linux-vpn-helper
assert_eq "0 0|$BEFORE" "$? $(installed)|$(testbed_snapshot)" "a removal without a block changes nothing"
testbed_finish
