# Namespace test bed, sourced by every test that runs the helper or touches
# networking. A script calls testbed_enter "$@" first: it re-runs itself in
# fresh network, mount and cgroup namespaces below a scratch cgroup, so
# nothing it does reaches the machine's own routes, firewall, links or
# cgroups. The scratch cgroup is removed when the script ends.
#
# Inside: testbed_setup builds a host with loopback, a physical stand-in
# (eth0, a veth pair whose far end gw0 sits in a second namespace playing
# the gateway) and cgroup v2 at /sys/fs/cgroup.

TESTBED_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${LVH_SOURCE_DIR:=$(cd "$TESTBED_DIR/../.." && pwd)}"
: "${LVH_BUILD_DIR:=$LVH_SOURCE_DIR/build}"
: "${LVH_HELPER:=$LVH_BUILD_DIR/linux_vpn_helper}"
LVH_ENGINE="$LVH_BUILD_DIR/tools/test_engine/libtest_engine.so"
LVH_ENGINE_NOSTOP="$LVH_BUILD_DIR/tools/test_engine/libtest_engine_nostop.so"
LVH_RECORDER="$LVH_BUILD_DIR/tools/command_recorder/libcommand_recorder.so"

# Addresses of the test bed's physical path.
HOST_IP4=192.0.2.2
GW_IP4=192.0.2.1
HOST_IP6=2001:db8:1::2
GW_IP6=2001:db8:1::1

TESTS_PASSED=0
TESTS_FAILED=0

# The v2 hierarchy outside: found through mountinfo, since this machine
# mounts it at /sys/fs/cgroup/unified (hybrid mode) and others at /sys/fs/cgroup.
testbed_host_cgroup2_root() {
  awk '$9 == "cgroup2" { print $5; exit }' /proc/self/mountinfo
}

testbed_remove_cgroup_tree() {
  local dir=$1 child
  [ -d "$dir" ] || return 0
  [ -e "$dir/cgroup.kill" ] && echo 1 > "$dir/cgroup.kill" 2>/dev/null
  for child in "$dir"/*/; do
    [ -d "$child" ] && testbed_remove_cgroup_tree "${child%/}"
  done
  local tries
  for tries in $(seq 50); do
    rmdir "$dir" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "testbed: could not remove scratch cgroup $dir" >&2
  return 1
}

# Scratch groups of runs whose outer shell is gone (killed before it could
# remove its own) go before a new one is made, so a killed run leaves
# nothing in the machine's hierarchy past the next test. A group whose
# shell still runs is a parallel test's and is left alone.
testbed_sweep_stale_scratch() {
  local root=$1 dir pid
  for dir in "$root"/lvh-test.*.*; do
    [ -d "$dir" ] || continue
    pid=${dir##*/lvh-test.}
    pid=${pid%%.*}
    case "$pid" in '' | *[!0-9]*) continue ;; esac
    [ -d "/proc/$pid" ] && continue
    testbed_remove_cgroup_tree "$dir" || true
  done
}

testbed_enter() {
  testbed_reenter_below_scratch LVH_IN_TESTBED --net --mount --cgroup --pid --mount-proc -- "$@"
}

# testbed_reenter_below_scratch MARKER UNSHARE_OPTION... -- ARGS...: re-runs
# the script with ARGS in the namespaces the options name, inside a fresh
# scratch cgroup, with MARKER=1 set there; returns at once where MARKER is
# already 1. The scratch cgroup is removed when the script ends.
testbed_reenter_below_scratch() {
  local marker=$1 namespaces=()
  shift
  while [ "$1" != -- ]; do namespaces+=("$1"); shift; done
  shift
  if [ "${!marker:-}" = 1 ]; then
    # Whatever the script changes next must not reach the machine's own
    # network namespace: refuse where the re-run did not leave it.
    if [[ " ${namespaces[*]} " == *" --net "* ]] &&
      [ "$(readlink /proc/self/ns/net)" = "${HOST_NETNS:-}" ]; then
      echo "testbed: still in the network namespace the script started in; refusing to go on" >&2
      exit 1
    fi
    return 0
  fi
  # The namespace the script started in, recorded before the re-run (kept
  # where the caller recorded it first).
  export HOST_NETNS=${HOST_NETNS:-$(readlink /proc/self/ns/net)}
  if [ "$(id -u)" != 0 ]; then
    echo "testbed: must run as root (it makes namespaces)" >&2
    exit 1
  fi
  local root scratch status
  root=$(testbed_host_cgroup2_root)
  if [ -z "$root" ]; then
    echo "testbed: no cgroup v2 hierarchy mounted" >&2
    exit 1
  fi
  testbed_sweep_stale_scratch "$root"
  scratch="$root/lvh-test.$$.$RANDOM"
  mkdir "$scratch" || exit 1
  # The subshell joins the scratch cgroup first, so the new cgroup
  # namespace has the scratch group as its root. A PID namespace with its
  # own /proc hides other tests' processes from the app-routing monitor,
  # which would otherwise move same-named processes of parallel tests (their
  # gateway holders among them) into its group.
  # With LVH_TESTBED_TIMEOUT (seconds) a hung script is ended here, while
  # this shell can still remove the scratch cgroup; --kill-child takes every
  # process of the PID namespace with it, and removing the scratch cgroup
  # every process left in it.
  local limit=()
  [ -n "${LVH_TESTBED_TIMEOUT:-}" ] && limit=(timeout --kill-after=10 "$LVH_TESTBED_TIMEOUT")
  (
    echo "$BASHPID" > "$scratch/cgroup.procs" || exit 1
    exec "${limit[@]}" unshare "${namespaces[@]}" --fork --kill-child --propagation private \
      env "$marker=1" LVH_SCRATCH_CGROUP="$scratch" bash "$0" "$@"
  )
  status=$?
  [ "$status" = 124 ] && [ ${#limit[@]} -gt 0 ] &&
    echo "testbed: timed out after ${LVH_TESTBED_TIMEOUT}s; everything inside was killed" >&2
  testbed_remove_cgroup_tree "$scratch" || status=1
  exit "$status"
}

testbed_cleanup() {
  local pid
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null; done
  [ -n "${GW_PID:-}" ] && kill "$GW_PID" 2>/dev/null
  wait 2>/dev/null
  [ -n "${TESTBED_TMP:-}" ] && rm -rf "$TESTBED_TMP"
  return 0
}

# testbed_setup [--ipv6]
testbed_setup() {
  [ "${LVH_IN_TESTBED:-}" = 1 ] || { echo "testbed_setup outside the test bed" >&2; exit 1; }
  TESTBED_TMP=$(mktemp -d /tmp/lvh-test.XXXXXX)
  trap testbed_cleanup EXIT
  mount -t cgroup2 none /sys/fs/cgroup || exit 1
  # A private /run keeps the firewall tool's lock file and any netns
  # bookkeeping out of the machine's own /run.
  mount -t tmpfs none /run || exit 1

  ip link set lo up
  testbed_spawn_netns GW_PID
  ip link add eth0 type veth peer name gw0
  ip link set gw0 netns "$GW_PID"
  ip addr add "$HOST_IP4/24" dev eth0
  ip link set eth0 up
  gw_exec ip addr add "$GW_IP4/24" dev gw0
  gw_exec ip link set gw0 up
  ip route add default via "$GW_IP4" dev eth0
  if [ "${1:-}" = --ipv6 ]; then
    ip addr add "$HOST_IP6/64" dev eth0 nodad
    gw_exec ip addr add "$GW_IP6/64" dev gw0 nodad
    ip -6 route add default via "$GW_IP6" dev eth0
  fi
}

# testbed_spawn_netns VAR: a further network namespace, held by a sleeping
# process (a job of the script, so testbed_cleanup ends it) whose PID goes
# into VAR; its loopback is up.
testbed_spawn_netns() {
  local holder tries
  unshare --net sleep infinity &
  holder=$!
  for tries in $(seq 50); do
    [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.05
  done
  printf -v "$1" '%s' "$holder"
  testbed_ns_exec "$holder" ip link set lo up
}

# testbed_ns_exec PID CMD...: runs a command in the network namespace of PID.
testbed_ns_exec() {
  local holder=$1
  shift
  nsenter --net="/proc/$holder/ns/net" "$@"
}

# Runs a command in the gateway's namespace.
gw_exec() { testbed_ns_exec "$GW_PID" "$@"; }

# gw_count_rule NAME TOOL MATCH...: counts the packets from the host that
# match (iptables or ip6tables), where they arrive at the gateway (raw
# PREROUTING on gw0); gw_count NAME TOOL reads the count, gw_reset_counts
# sets every count to 0. A zero proves a block only beside a positive
# control on the same counter.
gw_count_rule() {
  local name=$1 tool=$2
  shift 2
  gw_exec "$tool" -t raw -A PREROUTING -i gw0 "$@" -m comment --comment "$name"
}
gw_count() {
  gw_exec "$2" -t raw -nvxL PREROUTING | awk -v name="/* $1 */" 'index($0, name) { print $1 }'
}
gw_reset_counts() {
  gw_exec iptables -t raw -Z PREROUTING
  gw_exec ip6tables -t raw -Z PREROUTING
}

# A second network beside the first: eth1 on 192.0.3.0/24 and
# 2001:db8:3::/64 with the gateway's namespace at .1 / ::1 (gw1).
# testbed_second_network builds it; testbed_roam makes it the default in
# both families while eth0 stays up, testbed_roam_back returns to eth0.
# Each move is one batch, so it reaches a watching helper as one burst.
SECOND_GW_IP4=192.0.3.1
SECOND_GW_IP6=2001:db8:3::1
testbed_second_network() {
  gw_exec ip link add gw1 type veth peer name eth1 netns "$$"
  gw_exec ip addr add "$SECOND_GW_IP4/24" dev gw1
  gw_exec ip addr add "$SECOND_GW_IP6/64" dev gw1 nodad
  gw_exec ip link set gw1 up
  ip addr add 192.0.3.2/24 dev eth1
  ip addr add 2001:db8:3::2/64 dev eth1 nodad
  ip link set eth1 up
}
testbed_roam() {
  printf '%s\n' "route replace default via $SECOND_GW_IP4 dev eth1" \
    "route replace default via $SECOND_GW_IP6 dev eth1" | ip -batch -
}
testbed_roam_back() {
  printf '%s\n' "route replace default via $GW_IP4 dev eth0" \
    "route replace default via $GW_IP6 dev eth0" | ip -batch -
}
# testbed_flap: eth0 down and up again with its IPv6 address and both
# default routes back, in one batch: milliseconds apart, one burst, as a
# Wi-Fi reconnect looks. The kernel drops the IPv4 routes through eth0
# without a word.
testbed_flap() {
  printf '%s\n' "link set eth0 down" "link set eth0 up" "address replace $HOST_IP6/64 dev eth0 nodad" \
    "route replace default via $GW_IP4 dev eth0" "route replace default via $GW_IP6 dev eth0" | ip -batch -
}

# testbed_hosts LINE...: a private /etc/hosts for name resolution.
testbed_hosts() {
  printf '%s\n' "127.0.0.1 localhost" "$@" > "$TESTBED_TMP/hosts"
  mount --bind "$TESTBED_TMP/hosts" /etc/hosts
}

# testbed_resolv_conf LINE...: a private /etc/resolv.conf.
testbed_resolv_conf() {
  printf '%s\n' "$@" > "$TESTBED_TMP/resolv.conf"
  mount --bind "$TESTBED_TMP/resolv.conf" /etc/resolv.conf
}

# iptables-save output without comments and counters, and without tables
# that hold nothing: the first rule the helper puts into a table loads it,
# and a table stays listed, empty, after its rules are gone.
testbed_firewall_text() {
  grep -v '^#' | sed -E 's/ \[[0-9]+:[0-9]+\]$//' | awk '
    /^\*/ { block = $0 "\n"; used = 0; next }
    /^COMMIT$/ { if (used) printf "%s%s\n", block, $0; next }
    { block = block $0 "\n" }
    /^-A / || (/^:/ && $2 != "ACCEPT") { used = 1 }'
}

# Everything of the host a run may change, in a stable text form.
testbed_snapshot() {
  echo "## routes4"; ip -4 route show table all
  echo "## routes6"; ip -6 route show table all | grep -v -E '^(local|multicast|anycast) |proto kernel'
  echo "## rules4"; ip -4 rule show
  echo "## rules6"; ip -6 rule show
  echo "## iptables"; iptables-save 2>/dev/null | testbed_firewall_text
  echo "## ip6tables"; ip6tables-save 2>/dev/null | testbed_firewall_text
  # Tables of the inet family are nft's own (iptables makes ip and ip6 ones).
  echo "## nft inet"; nft list ruleset inet 2>/dev/null
  echo "## nft bridge"; nft list ruleset bridge 2>/dev/null
  echo "## links"; ip -o link show | sed -E 's/^[0-9]+: //; s/ state [A-Z]+//; s/ qlen [0-9]+//' | awk '{print $1, $2}'
  echo "## cgroups"; (cd /sys/fs/cgroup && find . -mindepth 1 -type d | sort)
  # The kernel settings the helper may change (where answers to marked
  # traffic arrive; the TUN device under a tunnel-only policy with --dns).
  echo "## sysctl"; grep -H . /proc/sys/net/ipv4/conf/*/src_valid_mark \
    /proc/sys/net/ipv4/conf/*/route_localnet | sed 's|^/proc/sys/net/ipv4/conf/||'
}

pass() { TESTS_PASSED=$((TESTS_PASSED + 1)); echo "ok: $*"; }
fail() { TESTS_FAILED=$((TESTS_FAILED + 1)); echo "FAIL: $*"; }

# assert_eq EXPECTED ACTUAL WHAT
assert_eq() {
  if [ "$1" == "$2" ]; then
    pass "$3"
  else
    fail "$3"
    diff <(printf '%s\n' "$1") <(printf '%s\n' "$2") | sed 's/^/    /'
  fi
}

# assert_contains HAYSTACK NEEDLE WHAT
assert_contains() {
  if grep -qF -- "$2" <<< "$1"; then pass "$3"; else fail "$3 (missing: $2)"; fi
}

# assert_at_least MIN ACTUAL WHAT: ACTUAL is a whole number of at least MIN.
assert_at_least() {
  if [[ "$2" =~ ^[0-9]+$ ]] && [ "$2" -ge "$1" ]; then pass "$3"; else fail "$3 (got '$2', want at least $1)"; fi
}

# assert_not_contains HAYSTACK NEEDLE WHAT
assert_not_contains() {
  if grep -qF -- "$2" <<< "$1"; then fail "$3 (found: $2)"; else pass "$3"; fi
}

# Starts the helper in the background; its standard output goes to
# $HELPER_OUT, its standard error to $HELPER_ERR, its pid is $HELPER_PID.
# With LVH_RECORD_FILE set, every system()/popen() command text it hands to
# the shell is appended there (LVH_FAIL_COMMAND names one to fail).
start_helper() {
  HELPER_OUT="$TESTBED_TMP/helper.out.$RANDOM"
  HELPER_ERR="$TESTBED_TMP/helper.err.$RANDOM"
  if [ -n "${LVH_RECORD_FILE:-}" ]; then
    LD_PRELOAD="$LVH_RECORDER" "$LVH_HELPER" "$@" > "$HELPER_OUT" 2> "$HELPER_ERR" &
  else
    "$LVH_HELPER" "$@" > "$HELPER_OUT" 2> "$HELPER_ERR" &
  fi
  HELPER_PID=$!
}

# Runs the helper to completion; HELPER_STATUS holds its exit status.
run_helper() {
  start_helper "$@"
  wait "$HELPER_PID"
  HELPER_STATUS=$?
}

# wait_for_line LINE [SECONDS]: waits until the helper printed LINE.
wait_for_line() {
  local deadline=$((SECONDS + ${2:-20}))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -qxF -- "$1" "$HELPER_OUT" 2>/dev/null && return 0
    kill -0 "$HELPER_PID" 2>/dev/null || { grep -qxF -- "$1" "$HELPER_OUT"; return; }
    sleep 0.05
  done
  return 1
}

# wait_until SECONDS COMMAND...: true as soon as COMMAND succeeds, false if
# it has not within SECONDS. For outcomes that take their time on a loaded
# machine: what is asserted afterwards is the same.
wait_until() {
  local deadline=$(($(date +%s%N) + $1 * 1000000000))
  shift
  until "$@"; do
    [ "$(date +%s%N)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# stop_helper [SIGNAL]: signals the helper and waits; HELPER_STATUS is set.
stop_helper() {
  kill -"${1:-TERM}" "$HELPER_PID"
  wait "$HELPER_PID"
  HELPER_STATUS=$?
}

# Prints the closing count line and exits non-zero on any failure.
testbed_finish() {
  echo "$TESTS_PASSED passed, $TESTS_FAILED failed"
  [ "$TESTS_FAILED" -eq 0 ]
  exit
}
