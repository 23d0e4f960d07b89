#!/usr/bin/env bash
# Builds the Debian package from the build tree, checks what it holds and
# declares, installs it into a scratch root with dpkg --root and runs the
# installed helper's validate mode (the one mode that needs no privilege and
# touches no host state). It never removes the package: the removal runs the
# helper's --unblock, which only a test inside the test bed may run
# (tests/netns/test_install_lockdown_package.sh).
set -u
: "${LVH_BUILD_DIR:?}"
work=$(mktemp -d /tmp/lvh-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

(cd "$work" && cpack -G DEB --config "$LVH_BUILD_DIR/CPackConfig.cmake" -B "$work/out") > "$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAIL: no package built"; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
check "executable in libexec" grep -qx './usr/libexec/linux_vpn_helper' <<< "$contents"
check "manual page in section 8" grep -qx './usr/share/man/man8/linux_vpn_helper.8.gz' <<< "$contents"
check "README shipped" grep -qx './usr/share/doc/linux-vpn-helper/README.md' <<< "$contents"
check "no test engine, recorder or demo" bash -c '! grep -q -E "test_engine|command_recorder|demo" <<< "$1"' _ "$contents"
check "no maintainer script (no file capability set by the package)" \
  bash -c '! dpkg-deb -I "$1" | grep -q -E "postinst|preinst"' _ "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
for tool in iproute2 iptables nftables conntrack libglib2.0-0 libre2-9; do
  check "declares $tool" grep -q "$tool" <<< "$depends"
done

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" > "$work/dpkg.log" 2>&1 \
  || { cat "$work/dpkg.log"; fail "dpkg --root install"; }
installed="$root/usr/libexec/linux_vpn_helper"
check "installed executable" test -x "$installed"
check "installed file has no capability" bash -c '[ -z "$(getcap "$1")" ]' _ "$installed"

out=$("$installed" --validate-app-bypass-policy '{"enabled":true,"mode":"bypassSelected","apps":["curl"]}'); status=$?
[ "$status" = 0 ] && [ "$out" = "OK: Linux cgroup/policy-routing app routing policy is valid" ] \
  && pass "installed helper validates a policy" || fail "validate mode: status $status, output: $out"
out=$("$installed" --validate-app-bypass-policy '{"enabled":true,"mode":"sideways","apps":["curl"]}'); status=$?
[ "$status" = 2 ] && [[ "$out" == "ERROR: invalid app bypass policy: "* ]] \
  && pass "installed helper rejects a bad policy" || fail "rejecting a bad policy: status $status, output: $out"

page=$(zcat "$root/usr/share/man/man8/linux_vpn_helper.8.gz")
for needed in '.SH OPTIONS' '.SH MODES' '.SH STATUS LINES' '.SH EXIT STATUS' '.SH HOST STATE' \
              '.SH CLEANUP' '.SH LOCKDOWN' '.SH PRIVILEGES' '.SH SECURITY'; do
  check "manual page section ${needed#.SH }" grep -qxF "$needed" <<< "$page"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
