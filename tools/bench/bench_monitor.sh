#!/bin/bash
# The monitor's rows of `make bench` that need the kernel's process events:
# exec-to-moved latency and the monitor's CPU at 2,000 extra processes, each
# with events and with the pass alone, measured on the monitor driver.
#
#   bench_monitor.sh SAMPLES_FILE    (appends "figure value" lines to it)
#
# Process events exist only in the machine's initial network and PID
# namespaces, so this part runs there under the rule written in
# tests/monitor/test_monitor_events.sh: private mount and cgroup namespaces
# below a scratch cgroup (monitor_enter), the monitor driver alone (never
# the helper), no route, rule, firewall or link changed, and only processes
# with names unique to this run moved.
set -u
cd "$(dirname "$0")/../.."
source tests/netns/testbed.sh
source tests/netns/lib_approuting.sh
source tests/netns/lib_monitor.sh
monitor_enter "$@"
source tools/bench/lib_bench.sh
monitor_setup
trap 'bench_remove_load; testbed_cleanup' EXIT

SAMPLES=$1
STARTS=${BENCH_STARTS:-200}
HOLD_ROUNDS=${BENCH_HOLD_ROUNDS:-3}
HOLD_SECONDS=${BENCH_HOLD_SECONDS:-10}
LOAD=${BENCH_LOAD:-2000}
APP_PROCS=${BENCH_APP_PROCS:-10}
if ! monitor_events_belong_here || ! "$LVH_MONITOR_DRIVER" probe > /dev/null; then
  echo "bench: no process events here; the rows that need them stay empty" >&2
  exit 0
fi
# Names no other process on the machine has (the test beds' own
# "benchapp" processes are visible from here).
APP=$(ar_unique_name benchev)
ar_make_app "$APP"

echo "bench: exec -> moved, $STARTS starts each with process events, by the driver itself, and with the pass alone" >&2
"$LVH_MONITOR_DRIVER" latency --app "$APP" --program "$AR_BIN/$APP" --starts "$STARTS" \
  --spacing-ms 20 | sed 's/^moved_ms/events_moved_ms/' >> "$SAMPLES"
[ "${PIPESTATUS[0]}" = 0 ] || exit 1
# The floor: the driver moves each program itself right after the spawn.
"$LVH_MONITOR_DRIVER" latency --app "$APP" --program "$AR_BIN/$APP" --starts "$STARTS" \
  --spacing-ms 20 --floor | sed 's/^moved_ms/floor_moved_ms/' >> "$SAMPLES"
[ "${PIPESTATUS[0]}" = 0 ] || exit 1
# Spaced so that the starts fall at every phase of the 750 ms period.
"$LVH_MONITOR_DRIVER" latency --app "$APP" --program "$AR_BIN/$APP" --starts "$STARTS" \
  --spacing-ms 23 --no-events | sed 's/^moved_ms/pass_moved_ms/' >> "$SAMPLES"
[ "${PIPESTATUS[0]}" = 0 ] || exit 1

echo "bench: $HOLD_ROUNDS x ${HOLD_SECONDS}s of monitor at $LOAD extra processes, with events and the pass alone" >&2
bench_start_load "$LOAD" "$APP_PROCS" "$(ar_unique_name benchld)" "$APP" || exit 1
for round in $(seq "$HOLD_ROUNDS"); do
  "$LVH_MONITOR_DRIVER" hold --apps "$APP" --seconds "$HOLD_SECONDS" | sed 's/^/events_/' >> "$SAMPLES"
  "$LVH_MONITOR_DRIVER" hold --apps "$APP" --seconds "$HOLD_SECONDS" --no-events |
    sed 's/^/pass_/' >> "$SAMPLES"
done
