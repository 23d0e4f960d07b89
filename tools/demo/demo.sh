#!/usr/bin/env bash
# `make demo`: one run of the helper on the stand-in engine and the sample
# configuration beside this script, inside throwaway network, mount, PID and
# cgroup namespaces (tests/netns/testbed.sh), never on this machine's own
# network. It shows the status lines, what the helper installed, then stops
# it with SIGTERM and compares the host with its state before the run.
DEMO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$DEMO_DIR/../../tests/netns/testbed.sh"
if [ "$(id -u)" != 0 ]; then
  echo "demo: run as root (sudo make demo): it builds network namespaces" >&2
  exit 1
fi
for built in "$LVH_HELPER" "$LVH_ENGINE"; do
  [ -e "$built" ] || { echo "demo: $built is missing; run make demo (it builds first)" >&2; exit 1; }
done
testbed_enter "$@"

BYPASS=10.0.0.0/8,192.168.0.0/16
CONFIG="$DEMO_DIR/config.json"

section() { printf '\n=== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@" 2>&1 | sed 's/^/    /'; }

section "Throwaway host: eth0 ($HOST_IP4, $HOST_IP6) with a gateway namespace behind it"
testbed_setup --ipv6
# The sample configuration names its server; this host resolves it.
testbed_hosts "198.51.100.7 vpn.example.net" "2001:db8:100::7 vpn.example.net"
show ip -4 route
show ip -6 route show default
before=$(testbed_snapshot)

section "Starting the helper"
echo "$LVH_HELPER --lib libtest_engine.so --config tools/demo/config.json \\"
echo "    --dat-dir /usr/share/zelmo --bypass-prefixes $BYPASS --kill-switch"
start_helper --lib "$LVH_ENGINE" --config "$CONFIG" --dat-dir /usr/share/zelmo \
  --bypass-prefixes "$BYPASS" --kill-switch
if ! wait_for_line READY 30; then
  echo "demo: the helper did not become ready:" >&2
  cat "$HELPER_OUT" "$HELPER_ERR" >&2
  exit 1
fi
section "Status lines (standard output)"
sed 's/^/    /' "$HELPER_OUT"
if [ -s "$HELPER_ERR" ]; then
  section "Standard error"
  sed 's/^/    /' "$HELPER_ERR"
fi

section "What the helper installed"
show ip route
show ip -6 route
show ip route show table 100
show ip rule
show ip -6 rule
show iptables -S
show iptables -t mangle -S OUTPUT
show ip6tables -S
section "Routing decisions"
show ip route get 203.0.113.9
show ip route get 10.1.2.3
show ip route get 198.51.100.7
show ip -6 route get 2001:db8:200::1

section "SIGTERM"
stop_helper TERM
echo "new status lines:"
sed -n '/^READY$/,$p' "$HELPER_OUT" | tail -n +2 | sed 's/^/    /'
echo "exit status: $HELPER_STATUS"
show ip link show zelmo_vpn-tun0

section "Host state compared with the snapshot before the run"
after=$(testbed_snapshot)
if [ "$before" == "$after" ]; then
  echo "$ diff before after"
  echo "    (no difference: routes, rules, iptables, ip6tables, links and cgroups are as before)"
  status=0
else
  echo "DIFFERENT:"
  diff <(echo "$before") <(echo "$after") | sed 's/^/    /'
  status=1
fi
[ "$HELPER_STATUS" = 0 ] && [ "$(tail -n 1 "$HELPER_OUT")" = STOPPED ] || status=1
exit "$status"
