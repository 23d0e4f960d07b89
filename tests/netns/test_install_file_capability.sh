#!/usr/bin/env bash
# An unprivileged user holding only the file capability cap_net_admin+ep runs
# the helper: the gate passes, and the tools it starts (ip, iptables,
# ip6tables) really change the routes and the firewall, which they can only
# do because the helper raised CAP_NET_ADMIN into its ambient set.
# Such a caller must not steer what runs with the capability: a fake ip
# first on its PATH never runs, and a library in a directory it can write,
# or on a filesystem mounted nosuid, is refused; root, who starts the helper outside secure-execution mode,
# gets both as before.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
testbed_setup

# A root-owned copy of the helper with the capability, readable engine and
# configuration; nobody may execute and read them but owns nothing.
dir=/run/lvh-cap
mkdir -m 0755 "$dir"
install -m 0755 "$LVH_HELPER" "$dir/linux_vpn_helper"
install -m 0644 "$LVH_ENGINE" "$dir/libtest_engine.so"
cat > "$dir/config.json" <<'JSON'
{
  "inbounds": [ { "protocol": "tun", "settings": { "name": "zelmo_vpn-tun0" } } ],
  "outbounds": [ { "protocol": "vless",
    "settings": { "vnext": [ { "address": "198.51.100.7", "port": 443 } ] } } ]
}
JSON
chmod 0644 "$dir/config.json"
setcap cap_net_admin+ep "$dir/linux_vpn_helper" || { fail "setcap"; testbed_finish; }

# Some machines keep /dev/net/tun root-only; desktops make it 0666 so that
# capability holders can open it. Give this mount namespace such a node.
mknod -m 0666 "$dir/tun" c 10 200 && mount --bind "$dir/tun" /dev/net/tun

# A fake ip that logs its call and then does the real work, and a
# root-owned copy of the engine in a directory nobody owns.
mkdir "$dir/fakebin"
cat > "$dir/fakebin/ip" <<SCRIPT
#!/bin/sh
echo "\$(id -u) ip \$*" >> $dir/fake_ip.log
exec $(command -v ip) "\$@"
SCRIPT
chmod 0755 "$dir/fakebin/ip"
: > "$dir/fake_ip.log"; chmod 0666 "$dir/fake_ip.log"
CALLER_PATH="$dir/fakebin:$PATH"
mkdir "$dir/user"
install -m 0644 "$LVH_ENGINE" "$dir/user/libtest_engine.so"
chown 65534 "$dir/user"

before=$(testbed_snapshot)
# One-shot runs as nobody; a run that should have ended at once and did not
# is stopped (SIGTERM) after 20 s, so its status then tells.
as_nobody() {
  timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- "$@"
}

# Without the capability the same user is refused by the gate.
plain=$(as_nobody "$LVH_HELPER" --cleanup); status=$?
assert_eq 2 "$status" "without the file capability the gate refuses"
assert_contains "$plain" "ERROR: CAP_NET_ADMIN is not effective in helper process" "gate line"

HELPER_OUT="$TESTBED_TMP/cap.out"
HELPER_ERR="$TESTBED_TMP/cap.err"
# setpriv execs the helper, so $! is the helper itself.
PATH=$CALLER_PATH setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- \
  "$dir/linux_vpn_helper" --lib "$dir/libtest_engine.so" --config "$dir/config.json" \
  --bypass-prefixes 10.9.0.0/16 --kill-switch > "$HELPER_OUT" 2> "$HELPER_ERR" &
HELPER_PID=$!
if wait_for_line READY 20; then
  pass "READY as an unprivileged user with the file capability"
else
  fail "no READY"; cat "$HELPER_OUT" "$HELPER_ERR"
fi
first=$(head -n 1 "$HELPER_OUT")
assert_contains "$first" "CapEff=0000000000001000" "capability line shows only CAP_NET_ADMIN effective"
# (/proc/PID itself belongs to root: a process with file capabilities is not dumpable.)
assert_eq 65534 "$(awk '/^Uid:/ { print $2 }' /proc/$HELPER_PID/status)" "the helper runs as nobody"

routes=$(ip route show)
assert_contains "$routes" "0.0.0.0/1 dev zelmo_vpn-tun0" "ip started by the helper installed the split route"
assert_contains "$routes" "198.51.100.7 via $GW_IP4 dev eth0" "endpoint route installed"
assert_contains "$routes" "10.9.0.0/16 via $GW_IP4 dev eth0" "bypass prefix route installed"
assert_contains "$(iptables -S OUTPUT)" "-A OUTPUT -j ZELMO_KILLSWITCH" "iptables started by the helper installed the kill switch"
assert_contains "$(iptables -t mangle -S OUTPUT)" "-p icmp" "iptables installed the ICMP bypass"
assert_contains "$(ip rule show)" "fwmark 0x1 ipproto icmp lookup 100" "ip installed the ICMP bypass rule"
assert_contains "$(iptables -t nat -S POSTROUTING)" "zelmo-vpn-icmp-bypass -j MASQUERADE" \
  "iptables installed the re-routed pings' source NAT"
assert_eq 1 "$(cat /proc/sys/net/ipv4/conf/eth0/src_valid_mark)" "the helper itself raised src_valid_mark"
if [ -n "$(cat "$HELPER_ERR")" ]; then
  fail "the tools complained:"; sed 's/^/    /' "$HELPER_ERR"
else
  pass "no tool refused the unprivileged caller"
fi

stop_helper TERM
assert_eq 0 "$HELPER_STATUS" "exit status after SIGTERM"
assert_eq STOPPED "$(tail -n 1 "$HELPER_OUT")" "STOPPED"
assert_eq "$before" "$(testbed_snapshot)" "host state as before the run"
assert_eq "" "$(cat "$dir/fake_ip.log")" "the caller's ip first on PATH never ran"

# Name lookups: nft and conntrack work with the ambient capability alone.
conntrack -I -p udp -s "$HOST_IP4" -d "$GW_IP4" --sport 40000 --dport 53 -t 60 > /dev/null 2>&1
assert_eq 1 "$(conntrack -L -p udp --dport 53 2>/dev/null | wc -l)" "a port-53 entry before the run"
HELPER_OUT="$TESTBED_TMP/cap-dns.out"
HELPER_ERR="$TESTBED_TMP/cap-dns.err"
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- "$dir/linux_vpn_helper" \
  --lib "$dir/libtest_engine.so" --config "$dir/config.json" --kill-switch --dns 100.100.53.53 \
  > "$HELPER_OUT" 2> "$HELPER_ERR" &
HELPER_PID=$!
wait_for_line READY 20 || { fail "no READY with --dns"; cat "$HELPER_OUT"; }
assert_eq "table inet zelmo-vpn-dns|0|" "$(nft list tables | grep zelmo-vpn-dns)|$(conntrack -L -p udp \
  --dport 53 2>/dev/null | wc -l)|$(cat "$HELPER_ERR")" \
  "--dns as the unprivileged user: table installed, port-53 entry deleted, no tool complained"
stop_helper TERM
assert_eq "$before" "$(testbed_snapshot)" "host state as before the run with --dns"

out=$(PATH=$CALLER_PATH as_nobody "$dir/linux_vpn_helper" --lib "$dir/user/libtest_engine.so" \
  --config "$dir/config.json"); status=$?
assert_eq 2 "$status" "a library in the caller's directory: exit status"
assert_eq "ERROR: dlopen failed: $dir/user/libtest_engine.so: refused in secure-execution mode: directory $dir/user is not owned by root" \
  "$(sed 1d <<< "$out")" "a library in the caller's directory is refused"
assert_eq "$before" "$(testbed_snapshot)" "nothing installed for a refused library"

# A disk image of the user's, mounted nosuid as the desktop mounts
# removable media: root owns the library on it, but the image's author made
# that so. The same filesystem bound without nosuid is root's choice, and
# the same file loads from there. (A tmpfs stands in where no loop device
# can be had.)
image="$TESTBED_TMP/user.img"
mkdir "$dir/media" "$dir/trusted"
if truncate -s 8M "$image" && mkfs.ext4 -q "$image" && mount -o loop "$image" "$dir/trusted"; then
  media=ext4
else
  media=tmpfs; mount -t tmpfs -o mode=0755 none "$dir/trusted"
fi
install -m 0644 "$LVH_ENGINE" "$dir/trusted/libtest_engine.so"
mount --bind "$dir/trusted" "$dir/media"
mount -o remount,bind,nosuid,nodev "$dir/media"
out=$(as_nobody "$dir/linux_vpn_helper" --lib "$dir/media/libtest_engine.so" --config "$dir/config.json")
assert_eq "2|ERROR: dlopen failed: $dir/media/libtest_engine.so: refused in secure-execution mode: $dir/media/libtest_engine.so is on a filesystem mounted nosuid" \
  "$?|$(sed 1d <<< "$out")" "a library on a nosuid $media mount is refused"
assert_eq "$before" "$(testbed_snapshot)" "nothing installed for the library on the nosuid mount"
HELPER_OUT="$TESTBED_TMP/trusted.out"
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- "$dir/linux_vpn_helper" \
  --lib "$dir/trusted/libtest_engine.so" --config "$dir/config.json" > "$HELPER_OUT" 2>&1 &
HELPER_PID=$!
wait_for_line READY 20 && pass "the same file on the $media mount without nosuid loads" ||
  { fail "no READY from the mount without nosuid"; cat "$HELPER_OUT"; }
stop_helper TERM
umount "$dir/media" "$dir/trusted"
assert_eq "$before" "$(testbed_snapshot)" "host state as before the run from the mount"

# Root runs outside secure-execution mode: its PATH and library are used.
HELPER_OUT="$TESTBED_TMP/root.out"
PATH=$CALLER_PATH "$dir/linux_vpn_helper" --lib "$dir/user/libtest_engine.so" \
  --config "$dir/config.json" > "$HELPER_OUT" 2>&1 &
HELPER_PID=$!
wait_for_line READY 20 && pass "root loads the library from the user's directory" ||
  { fail "no READY as root"; cat "$HELPER_OUT"; }
assert_contains "$(ip route show)" "0.0.0.0/1 dev zelmo_vpn-tun0" "root's run installed the split route"
stop_helper TERM
assert_eq 0 "$HELPER_STATUS" "root's run: exit status after SIGTERM"
assert_contains "$(cat "$dir/fake_ip.log")" "0 ip route" "root's PATH found the fake ip"
assert_eq "$before" "$(testbed_snapshot)" "host state as before root's run"
testbed_finish
