# Helpers of tools/bench/bench.sh, sourced inside the test bed after
# testbed.sh. Samples are lines "figure value" in $SAMPLES, appended in round
# order, so the k-th values of two figures come from the same round.

BENCH_LOAD_CGROUP=/sys/fs/cgroup/bench-load

# bench_wants N: section N of the table is to be run and printed.
bench_wants() { [[ " ${BENCH_SECTIONS:-1 2 3 4 5 6 7 8 9 10} " == *" $1 "* ]]; }

# The path of a script that writes a snapshot of the test bed into its
# argument: the driver runs commands through /bin/sh, which does not pass
# on bash functions.
bench_snapshot_script() {
  local script="$TESTBED_TMP/snapshot.sh"
  [ -e "$script" ] || printf 'source %q\ntestbed_snapshot > "$1"\n' "$TESTBED_DIR/testbed.sh" > "$script"
  echo "$script"
}

# The floor is only a floor if the replayed texts do what the helper did:
# the state at READY and after the stop must be the same for the helper run,
# the shell replay and the direct replay, and the stop must restore the start.
bench_check_floor_state() {
  local snap="$TESTBED_TMP/snapshot" out split held mode status=0
  testbed_snapshot > "$snap.start"
  out=$("$DRIVER" helper --record "$RECORD" --recorder "$LVH_RECORDER" \
          --at-ready "bash $(bench_snapshot_script) $snap.ready.helper" \
          -- "$LVH_HELPER" "${TYPICAL[@]}") || return 1
  testbed_snapshot > "$snap.stopped.helper"
  split=$(awk '$1 == "connect_commands" { print int($2) }' <<< "$out")
  held=$(awk '$1 == "held_commands" { print int($2) }' <<< "$out")
  for mode in shell direct; do
    "$DRIVER" floor --mode "$mode" --engine "$LVH_ENGINE" --config "$CONFIG" \
      --dat-dir "$TESTBED_TMP" --record "$RECORD" --split "$split" --skip "$held" \
      --between "bash $(bench_snapshot_script) $snap.ready.$mode" > /dev/null || return 1
    testbed_snapshot > "$snap.stopped.$mode"
  done
  if ! grep -q '^-A ZELMO_KILLSWITCH' "$snap.ready.helper"; then
    echo "bench: the helper's READY state has no kill switch" >&2
    return 1
  fi
  # The helper sets src_valid_mark by writing the sysctl itself, not by a
  # command, and holds its lock device by an open descriptor, so no replay
  # makes either; the floor leaves out that write and that device.
  for mode in helper shell direct; do
    if ! diff -u <(bench_without_sysctls < "$snap.ready.helper") \
                 <(bench_without_sysctls < "$snap.ready.$mode") >&2 ||
       ! diff -u "$snap.start" "$snap.stopped.$mode" >&2; then
      echo "bench: the $mode run does not reach the helper's state" >&2
      status=1
    fi
  done
  return "$status"
}

# bench_same EXPECTED ACTUAL WHY: true when the two snapshots are the same;
# otherwise their difference and "bench: WHY" on standard error.
bench_same() {
  diff -u "$1" "$2" >&2 && return 0
  echo "bench: $3" >&2
  return 1
}

# bench_switch BY [DRIVER-OPTIONS...] -- HELPER-ARGS...: the helper, whose
# arguments name $SWITCH_CONFIG, READY and then moved to $NEXT_CONFIG's
# server, BY hup or restart; prints the driver's samples.
bench_switch() {
  local by=$1 options=()
  shift
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  "$DRIVER" switch --rewrite "$SWITCH_CONFIG" --with "$NEXT_CONFIG" --by "$by" \
    --output "$TESTBED_TMP/switch.out" --hold 0.2 --stderr "$TESTBED_TMP/switch.err" \
    "${options[@]}" -- "$LVH_HELPER" "$@"
}

# bench_check_switch_state HELPER-ARGS...: a switch by SIGHUP must reach
# the state of a new start on the second server, on it alone, and both
# stops leave the host as they found it; else the two are not comparable.
bench_check_switch_state() {
  local snap="$TESTBED_TMP/switch-snapshot" by status=0
  testbed_snapshot > "$snap.start"
  for by in hup restart; do
    bench_switch "$by" --at-ready "bash $(bench_snapshot_script) $snap.ready.$by" -- "$@" \
      > /dev/null || return 1
    testbed_snapshot > "$snap.stopped.$by"
    bench_same "$snap.start" "$snap.stopped.$by" "the $by run does not leave the host as it found it" ||
      status=1
  done
  bench_same "$snap.ready.restart" "$snap.ready.hup" \
    "the switched run's state is not that of a new start on the second server" || status=1
  if grep -qF "$FIRST_SERVER" "$snap.ready.hup" || ! grep -qF "$NEXT_SERVER" "$snap.ready.hup"; then
    echo "bench: the switched run is not on the second server alone" >&2
    status=1
  fi
  return "$status"
}

# bench_kill_run HELPER-ARGS...: a run READY and past the look that follows
# READY, killed with SIGKILL as a crash leaves it; returns once the kernel
# has removed its devices (the lock and the TUN device), so the next start
# waits for nothing.
bench_kill_run() {
  start_helper "$@"
  wait_for_line READY || { echo "bench: the run to kill did not become READY" >&2; return 1; }
  sleep 0.5
  kill -KILL "$HELPER_PID"
  { wait "$HELPER_PID"; } 2> /dev/null
  wait_until 2 bench_no_tun_devices
}
bench_no_tun_devices() { [ -z "$(ip -o link show type tun)" ]; }

# bench_check_takeover_state HELPER-OPTIONS...: after a killed run on the
# first server, a start on the second must reach the state of the same
# start on a clean host, and both stops leave the host as it was.
bench_check_takeover_state() {
  local snap="$TESTBED_TMP/takeover-snapshot" start status=0
  testbed_snapshot > "$snap.start"
  bench_kill_run --config "$CONFIG" "$@" || return 1
  for start in takeover clean; do
    "$DRIVER" start --output "$TESTBED_TMP/start.out" --stderr "$TESTBED_TMP/switch.err" \
      --at-ready "bash $(bench_snapshot_script) $snap.ready.$start" \
      -- "$LVH_HELPER" --config "$NEXT_CONFIG" "$@" > /dev/null || return 1
    testbed_snapshot > "$snap.stopped.$start"
    bench_same "$snap.start" "$snap.stopped.$start" "the $start run does not leave the host as it was" ||
      status=1
  done
  bench_same "$snap.ready.clean" "$snap.ready.takeover" \
    "the takeover's state is not that of a start on a clean host" || status=1
  return "$status"
}

# Wake-ups: every context switch of every thread of the process is one.
bench_thread_switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}
bench_main_switches() {
  awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }' /proc/"$1"/task/"$1"/status
}
# CPU time of all its threads in ns (schedstat: finer than the clock ticks of stat).
bench_cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { print n + 0 }'; }

# A snapshot without its sysctl section and the helper's lock device.
bench_without_sysctls() {
  awk '/^## / { skip = ($2 == "sysctl") } !skip && !/^zelmo-vpn-lock: /'
}

# bench_start_load COUNT APP_PROCS [LOAD_NAME APP_NAME]: COUNT sleeping
# processes in a scratch cgroup, APP_PROCS of them running as APP_NAME
# (default "benchapp"), the rest as LOAD_NAME (default "benchload").
bench_start_load() {
  local count=$1 app_procs=$2 load_name=${3:-benchload} app_name=${4:-benchapp} i
  mkdir "$BENCH_LOAD_CGROUP" || return 1
  cp /bin/sleep "$TESTBED_TMP/$load_name"
  cp /bin/sleep "$TESTBED_TMP/$app_name"
  (
    echo "$BASHPID" > "$BENCH_LOAD_CGROUP/cgroup.procs" || exit 1
    for ((i = 0; i < count - app_procs; i++)); do "$TESTBED_TMP/$load_name" 3600 & done
    for ((i = 0; i < app_procs; i++)); do "$TESTBED_TMP/$app_name" 3600 & done
  ) || return 1
  for i in $(seq 200); do
    [ "$(wc -l < "$BENCH_LOAD_CGROUP/cgroup.procs")" -ge "$count" ] && break
    sleep 0.05
  done
  # The membership passes move some of them out of the group: keep the IDs.
  cat "$BENCH_LOAD_CGROUP/cgroup.procs" > "$TESTBED_TMP/load.pids"
  [ "$(wc -l < "$TESTBED_TMP/load.pids")" -eq "$count" ]
}

# Those the passes moved elsewhere are stopped by ID, the rest with the group.
bench_remove_load() {
  [ -d "$BENCH_LOAD_CGROUP" ] || return 0
  local pid
  [ -f "$TESTBED_TMP/load.pids" ] &&
    while read -r pid; do kill "$pid" 2>/dev/null; done < "$TESTBED_TMP/load.pids"
  testbed_remove_cgroup_tree "$BENCH_LOAD_CGROUP"
}

# bench_values FIGURE: its samples, one per line, in round order.
bench_values() {
  awk -v figure="$1" '$1 == figure { print $2 }' "$SAMPLES"
}

# bench_paired A OP B: A op B per round (OP is - or /).
bench_paired() {
  paste <(bench_values "$1") <(bench_values "$3") |
    awk -v op="$2" 'NF == 2 { print (op == "/" ? ($2 > 0 ? $1 / $2 : 0) : $1 - $2) }'
}

# bench_summary: reads values, prints "median min max count".
bench_summary() {
  sort -g | awk '{ v[NR] = $1 }
    END {
      if (NR == 0) { print "- - - 0"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      print m, v[1], v[NR], NR
    }'
}

# Three significant figures without an exponent.
bench_number() {
  awk -v x="$1" 'BEGIN {
    if (x == "-") { print "-"; exit }
    a = x < 0 ? -x : x
    if (a >= 100) printf "%.0f", x; else if (a >= 10) printf "%.1f", x
    else if (a >= 1) printf "%.2f", x; else printf "%.3f", x
  }'
}

# bench_cells UNIT: "median UNIT" and "min-max" from a summary on stdin.
bench_cells() {
  local unit=$1 median low high count
  read -r median low high count
  printf '%s %s | %s-%s' "$(bench_number "$median")" "$unit" \
    "$(bench_number "$low")" "$(bench_number "$high")"
}

# bench_row LABEL UNIT FIGURE [BESIDE-LABEL BESIDE-FIGURE]: the figure's
# median and spread; with a second figure, its median beside it and the ratio
# of the two per round (median and spread).
bench_row() {
  local label=$1 unit=$2 figure=$3 beside="" ratio=""
  if [ $# -ge 5 ]; then
    beside="$4: $(bench_median "$5") $unit"
    ratio=$(bench_paired "$figure" / "$5" | bench_summary | { read -r m low high _;
      printf '%s (%s-%s)' "$(bench_number "$m")" "$(bench_number "$low")" "$(bench_number "$high")"; })
  fi
  printf '| %s | %s | %s | %s |\n' "$label" "$(bench_values "$figure" | bench_summary | bench_cells "$unit")" \
    "$beside" "$ratio"
}

# bench_derive NEW A OP B [SCALE]: adds the per-round figure NEW = (A op B) * SCALE.
bench_derive() {
  bench_paired "$2" "$3" "$4" | awk -v name="$1" -v scale="${5:-1}" '{ print name, $1 * scale }' >> "$SAMPLES"
}

# bench_percentile FIGURE P: the P-th percentile of its samples (nearest rank).
bench_percentile() {
  bench_values "$1" | sort -g | awk -v p="$2" '{ v[NR] = $1 }
    END {
      if (NR == 0) { print "-"; exit }
      r = int(p / 100 * NR); if (r < p / 100 * NR) r++; if (r < 1) r = 1
      print v[r]
    }'
}

# bench_latency_rows LABEL FIGURE: its median with the spread, and its 99th percentile.
bench_latency_rows() {
  bench_row "$1: median" ms "$2"
  printf '| %s | %s ms | | | |\n' "$1: 99th percentile" "$(bench_number "$(bench_percentile "$2" 99)")"
}

bench_median() {
  bench_values "$1" | bench_summary | { read -r m _; bench_number "$m"; }
}

# bench_median_count FIGURE: its median as a whole number (0 without samples,
# as where its section did not run).
bench_median_count() {
  bench_values "$1" | bench_summary | { read -r m _; [ "$m" = - ] && m=0; printf %d "${m%.*}"; }
}

bench_print_table() {
  local connect disconnect policy_disconnect rounds pass_rounds hold_rounds apps events_rounds events_starts pass_starts
  connect=$(bench_median_count recorded_connect_commands)
  disconnect=$(bench_median_count recorded_disconnect_commands)
  policy_disconnect=$(bench_median_count withpolicy_recorded_disconnect_commands)
  rounds=$(bench_values ready_ms | wc -l)
  pass_rounds=$(bench_values pass | wc -l)
  hold_rounds=$(bench_values policy_hold_cpu_percent | wc -l)
  events_rounds=$(bench_values events_cpu_percent | wc -l)
  events_starts=$(bench_values events_moved_ms | wc -l)
  pass_starts=$(bench_values pass_moved_ms | wc -l)
  apps=$(bench_median_count policy_apps)
  bench_derive teardown_ms recorded_stop_ms - recorded_stop_wait_ms
  bench_derive withpolicy_teardown_ms withpolicy_recorded_stop_ms - withpolicy_recorded_stop_wait_ms
  bench_derive ready_cpu_percent ready_cpu_ms / ready_ms 100
  # A percent of a core over a second is 10 ms of CPU: per event in µs
  # (rounds without any event give no figure).
  paste <(bench_values events_cpu_percent) <(bench_values events_events_per_second) |
    awk '$2 > 0 { print "events_cpu_per_event_us", $1 / $2 * 10000 }' >> "$SAMPLES"
  echo
  echo "| Figure | Median | Spread (min-max) | Measured beside it (median) | Ratio (median, min-max) |"
  echo "|---|---|---|---|---|"
  if bench_wants 1; then
    echo "| **1. Typical run** (kill switch, IPv6 default route, endpoint, two bypass prefixes), $rounds rounds | | | | |"
    bench_row "connect: exec -> READY" ms ready_ms \
      "floor: the $connect recorded commands through sh -c" shell_connect_ms
    bench_row "helper's own CPU, exec -> READY" ms ready_cpu_ms \
      "floor: the replaying program's own CPU" shell_connect_cpu_ms
    bench_row "the same as a share of the connect time" % ready_cpu_percent
    bench_row "of which: start-up and exit of the executable (validate mode, own CPU)" ms startup_cpu_ms
    bench_row "for information: the stand-in engine's start (in the connect time, not in the floor)" \
      ms engine_start_ms
    bench_row "for information: the $connect tools run without a shell" ms direct_connect_ms
    bench_row "disconnect: SIGTERM -> exit" ms stop_ms \
      "floor: the $disconnect recorded commands through sh -c" shell_disconnect_ms
    bench_row "of which: until the wait loop notices the signal (recorded run)" ms recorded_stop_wait_ms
    bench_row "of which: teardown, first command -> exit (recorded run)" ms teardown_ms \
      "floor, as above" shell_disconnect_ms
    bench_row "helper's own CPU, SIGTERM -> exit" ms stop_cpu_ms \
      "floor: the replaying program's own CPU" shell_disconnect_cpu_ms
    bench_row "for information: the $disconnect tools run without a shell" ms direct_disconnect_ms
    bench_row "disconnect with a policy, SIGTERM -> exit ($policy_disconnect recorded commands)" ms \
      withpolicy_stop_ms "disconnect without, as above" stop_ms
    bench_row "of which: until the monitor is joined and the first command runs (recorded run)" ms \
      withpolicy_recorded_stop_wait_ms "the same without a policy" recorded_stop_wait_ms
    bench_row "of which: teardown, first command -> exit (recorded run)" ms withpolicy_teardown_ms \
      "floor: the $policy_disconnect recorded commands through sh -c" withpolicy_shell_disconnect_ms
    bench_row "connect with --dns (the name-lookup table, its connection-tracking deletions, two more kill switch rules)" \
      ms withdns_ready_ms "connect without, as above" ready_ms
    bench_row "disconnect with --dns" ms withdns_stop_ms "disconnect without, as above" stop_ms
  fi
  if bench_wants 2; then
    echo "| **2. Monitor**, $LOAD extra processes ($APP_PROCS of the selected application), $pass_rounds rounds | | | | |"
    bench_row "one membership pass" ms pass "pgrep -x benchapp, same process table" pgrep
    bench_row "one pass for a name no process has" ms pass_unmatched \
      "the same reads done minimally (openat, one read, readlinkat)" pass_minimal
    bench_row "helper's CPU while READY with a policy, ${HOLD_SECONDS} s each, $hold_rounds runs (no events in the test bed: the pass alone)" \
      "% of a core" policy_hold_cpu_percent
    bench_row "monitor driver's CPU with process events, same load, ${HOLD_SECONDS} s each, $events_rounds runs" \
      "% of a core" events_cpu_percent "the pass alone, same driver" pass_cpu_percent
    bench_row "of which: execs and renames on the whole machine, each an event to check" \
      "per second" events_events_per_second
    bench_row "CPU per event handled (all the driver's CPU over the events)" µs events_cpu_per_event_us
    bench_latency_rows "exec -> in the group with process events, $events_starts starts (no extra processes)" events_moved_ms
    bench_latency_rows "floor: the driver moves each program itself right after its spawn" floor_moved_ms
    bench_latency_rows "exec -> in the group with the pass alone, $pass_starts starts (no extra processes)" pass_moved_ms
  fi
  if bench_wants 3; then
    echo "| **3. Memory** while READY with a policy, $hold_rounds runs | | | | |"
    bench_row "peak resident size (VmHWM)" kB policy_peak_rss_kb
    bench_row "steady resident size (VmRSS)" kB policy_rss_kb
  fi
  if bench_wants 4; then
    echo "| **4. Input scale**, $SCALE_ROUNDS rounds | | | | |"
    bench_row "ExtractTunName, 16 MiB configuration, values at its end" ms tun_name \
      "one std::string::find over it" config_find
    bench_row "ExtractProxyAddress, same configuration" ms proxy_address \
      "one std::string::find over it" config_find
    bench_row "ExtractTunName, 16 MiB of keys without a value" ms tun_name_adversarial
    bench_row "ExtractProxyAddress, 16 MiB of keys without a value" ms proxy_address_adversarial
    bench_row "IsValidLinuxAppBypassPolicy, 65,536-byte policy ($apps apps)" ms policy_validate
    bench_row "ParseAppRoutingPolicy, same policy" ms policy_parse
  fi
  if bench_wants 5; then
    echo "| **5. Watch while READY** (typical run with a bypassSelected policy; both default routes move to a second network) | | | | |"
    bench_row "commands of the move (listings, then the changes)" commands repin_commands
    bench_row "of which: changes (ip batches, firewall transactions)" commands repin_changes
    bench_row "then the look at the notifications of its own changes (listings only)" commands \
      repin_check_commands
    bench_row "default-route change -> last command of the move finished (recorded run; includes the 50 ms quiet time that coalesces a burst)" \
      ms repin_ms "floor: the same $(bench_values repin_commands | head -n 1) commands through sh -c from the change on" repin_floor_ms
    bench_row "wake-ups of all the helper's threads while READY with a policy, nothing changing (test bed: no process events, the monitor's 750 ms pass)" \
      "per second" watch_wakeups_per_second
    bench_row "of which: the main thread's wait" "per second" watch_main_wakeups_per_second
    bench_row "monitor driver's wake-ups with process events (the 5 s safety net), outside" "per second" \
      events_wakeups_per_second "the pass alone (750 ms)" pass_wakeups_per_second
    bench_row "helper's CPU while READY with a policy, nothing changing" "% of a core" watch_cpu_percent
  fi
  if bench_wants 6; then
    echo "| **6. Keeping what was installed** while READY (typical run, firewall notifications), $(bench_values restore_output_ms | wc -l) rounds | | | | |"
    bench_latency_rows "flushed kill switch to restored (iptables -F OUTPUT)" restore_output_ms
    bench_latency_rows "emptied filter table to restored (iptables -F; iptables -X)" restore_table_ms
    bench_row "helper's CPU while an eager program keeps its accepting jump first in OUTPUT (both families), ${BENCH_FIGHT_SECONDS:-20} s each" \
      "% of a core" fight_cpu_percent "the same stretch with nothing changing" fight_idle_cpu_percent
  fi
  bench_wants 7 && bench_print_throughput_rows
  bench_wants 8 && bench_print_dns_rows
  bench_wants 9 && bench_print_switch_rows
  bench_wants 10 && bench_print_takeover_rows
  return 0
}

# The rows of tools/bench/bench_throughput.sh.
bench_print_throughput_rows() {
  echo "| **7. Throughput through the tunnel** (stand-in engine, routed test bed; bulk TCP transfers of ${BENCH_THROUGHPUT_MIB:-32} MiB, the best of ${BENCH_THROUGHPUT_BEST:-3} per round), $(bench_values forward_on_mibps | wc -l) rounds | | | | |"
  bench_row "forwarded: from a container behind the host's bridge, with the kill switch" "MiB/s" \
    forward_on_mibps "the same without" forward_off_mibps
  bench_row "the host's own, with the kill switch" "MiB/s" host_on_mibps "the same without" host_off_mibps
}

# The rows of tools/bench/bench_dns.sh.
bench_print_dns_rows() {
  echo "| **8. Name lookups** (--dns, kill switch; routed topology, real resolvers), $(bench_values lookup_direct_ms | wc -l) rounds, each the median of a batch | | | | |"
  bench_derive lookup_added_ms lookup_redirected_ms - lookup_direct_ms
  bench_row "a lookup to the home router's resolver, redirected through the tunnel" ms lookup_redirected_ms \
    "the same lookup sent straight to the tunnel's resolver, through the tunnel" lookup_direct_ms
  bench_row "of which: added by the redirect" ms lookup_added_ms
}

# The rows of section 9: the switch beside a stop and a new start.
bench_print_switch_rows() {
  echo "| **9. Switching servers** (the typical run moved to a second server, a literal address nothing answers at; the configuration rewritten, then the signal), $(bench_values hup_switch_ms | wc -l) rounds | | | | |"
  bench_row "switch: SIGHUP -> the new READY" ms hup_switch_ms \
    "stop and start: SIGTERM -> STOPPED and exit, a new start -> READY" restart_switch_ms
  bench_row "commands of the switch (recorded run)" commands hup_recorded_switch_commands \
    "the stop's and the new start's" restart_recorded_switch_commands
  bench_row "of which listings read back" commands hup_recorded_switch_listings \
    "the stop's and the new start's" restart_recorded_switch_listings
  bench_row "then the look that follows the new READY" commands \
    hup_recorded_switch_settle_commands "the same after the new start's READY" \
    restart_recorded_switch_settle_commands
  bench_row "with a bypassSelected policy: SIGHUP -> the new READY" ms policy_hup_switch_ms \
    "stop and start, as above" policy_restart_switch_ms
  bench_row "with a bypassSelected policy: commands of the switch" commands \
    policy_hup_recorded_switch_commands "the stop's and the new start's" \
    policy_restart_recorded_switch_commands
}

# The rows of section 10: a start that takes over a killed run beside the
# same start on a clean host.
bench_print_takeover_rows() {
  local run label
  echo "| **10. Taking over a killed run** (a READY run on the first server killed with SIGKILL, then a start on the second), $(bench_values typical_takeover_start_ms | wc -l) rounds | | | | |"
  for run in typical full; do
    label="typical run"
    [ "$run" = full ] && label="full run (with a bypassSelected policy and --dns)"
    bench_derive "${run}_takeover_start_changes" "${run}_takeover_start_commands" - "${run}_takeover_start_listings"
    bench_derive "${run}_clean_start_changes" "${run}_clean_start_commands" - "${run}_clean_start_listings"
    bench_row "$label: commands of the start that takes over, exec -> READY" commands \
      "${run}_takeover_start_commands" "the same start on a clean host" "${run}_clean_start_commands"
    bench_row "of which listings read back" commands "${run}_takeover_start_listings" \
      "on a clean host" "${run}_clean_start_listings"
    bench_row "of which changes and checks run for their status" commands "${run}_takeover_start_changes" \
      "on a clean host" "${run}_clean_start_changes"
    bench_row "exec -> READY (recorded runs)" ms "${run}_takeover_start_ms" \
      "on a clean host" "${run}_clean_start_ms"
  done
}
