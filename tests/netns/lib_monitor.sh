# The monitor bed: where the app-routing monitor runs alone, through
# tools/monitor_driver, with the kernel's process events (sourced after
# testbed.sh and lib_approuting.sh).
#
# The kernel sends process events only into the machine's initial network
# and PID namespaces, so the monitor bed keeps those two and makes only
# private mount and cgroup namespaces below a scratch cgroup. Everything
# run in it keeps the rule written in tests/monitor/test_monitor_events.sh.

LVH_MONITOR_DRIVER="$LVH_BUILD_DIR/tools/monitor_driver/monitor_driver"

monitor_enter() {
  testbed_reenter_below_scratch LVH_IN_MONITOR_BED --mount --cgroup -- "$@"
}

# monitor_setup: cgroup v2 mounted privately at /sys/fs/cgroup (its root is
# the scratch cgroup) and $TESTBED_TMP. No link, route or rule is made.
monitor_setup() {
  [ "${LVH_IN_MONITOR_BED:-}" = 1 ] || { echo "monitor_setup outside the monitor bed" >&2; exit 1; }
  TESTBED_TMP=$(mktemp -d /tmp/lvh-monitor.XXXXXX)
  trap testbed_cleanup EXIT
  mount -t cgroup2 none /sys/fs/cgroup || exit 1
}

# monitor_events_belong_here: true in the machine's initial network and PID
# namespaces on a kernel with the process connector, where events must
# work. The kernel gives the initial namespaces fixed inode numbers.
monitor_events_belong_here() {
  [ "$(readlink /proc/self/ns/pid)" = "pid:[4026531836]" ] &&
    [ "$(readlink /proc/self/ns/net)" = "net:[4026531833]" ] &&
    grep -q '^cn_proc ' /proc/net/connector 2>/dev/null
}

# monitor_start ARGS...: "monitor_driver run ARGS" in the background; its
# output goes to $MON_OUT, its process ID is $MON_PID.
monitor_start() {
  MON_OUT="$TESTBED_TMP/driver.out.$RANDOM"
  "$LVH_MONITOR_DRIVER" run "$@" > "$MON_OUT" 2>&1 &
  MON_PID=$!
}

# monitor_wait_line PREFIX: waits (20 s at most) for a driver line that
# begins with PREFIX and prints it.
monitor_wait_line() {
  local deadline=$((SECONDS + 20))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -m1 "^$1" "$MON_OUT" 2>/dev/null && return 0
    kill -0 "$MON_PID" 2>/dev/null || break
    sleep 0.02
  done
  grep -m1 "^$1" "$MON_OUT"
}

# monitor_signal SIGNAL PREFIX: signals the driver and prints the line it answers with.
monitor_signal() {
  kill -"$1" "$MON_PID"
  monitor_wait_line "$2"
}

# A test program, run by a copy of bash so that its command name and its
# executable are the copy's name: it notes in FIFO.moved when it first
# finds itself in the group (bash's clock at its start and then), then
# waits. SIGUSR1 makes it fork a child that waits too; SIGUSR2 renames it.
#   $AR_BIN/NAME $MON_APP FIFO [NEW_NAME]
monitor_write_app() {
  MON_APP="$TESTBED_TMP/app.sh"
  cat > "$MON_APP" <<'APP'
exec 8<>"$1"
new_name=$2
trap 'printf %s "$new_name" > /proc/$$/comm' USR2
trap '( read -r -u 8 ) &' USR1
in_group() {
  local line entry
  # The cgroup v2 entry is the last line.
  while read -r line; do entry=$line; done < /proc/$$/cgroup
  [[ $entry == */zelmo-vpn-app-routing ]]
}
start=$EPOCHREALTIME
until in_group; do read -r -t 0.001 -u 8; done
echo "$start $EPOCHREALTIME" > "$1.moved"
while :; do read -r -t 0.05 -u 8; done
APP
}

# monitor_start_app SCOPE NAME [NEW_NAME]: NAME (a copy of bash) running
# $MON_APP in cgroup SCOPE; AR_PID is its process ID, $MON_FIFO its FIFO.
monitor_start_app() {
  MON_FIFO="$TESTBED_TMP/fifo.$2"
  mkfifo "$MON_FIFO"
  [ -e "$AR_BIN/$2" ] || { ar_make_app "$2" bash; }
  ar_start_app_in "$1" "$2" "$MON_APP" "$MON_FIFO" "${3:-}"
}

# monitor_moved_ms FIFO: how long after its start the program found itself
# in the group, in whole milliseconds (waits 5 s at most for its note;
# empty when there is none).
monitor_moved_ms() {
  local try
  for try in $(seq 100); do
    [ -s "$1.moved" ] && break
    sleep 0.05
  done
  [ -s "$1.moved" ] && awk '{ printf "%d", ($2 - $1) * 1000 }' "$1.moved"
}
