#!/bin/bash
# `make bench`: start, stop, monitor, memory, input-scale, server switch and
# takeover figures of the helper, each the median of repeated runs with its
# spread, every comparison measured alternately in the same invocation.
# Prints one Markdown table.
#
# Everything runs inside the namespace test bed (fresh network, mount and
# cgroup namespaces below a scratch cgroup); nothing touches this machine's
# own routes, firewall or cgroups. The rows that need process events come
# first, from tools/bench/bench_monitor.sh, which runs the monitor driver
# alone under the rule of tests/monitor/test_monitor_events.sh; then the
# throughput rows, from tools/bench/bench_throughput.sh in a routed test bed
# of its own, and the name-lookup rows, from tools/bench/bench_dns.sh in a
# test bed of its own (the routed topology with real resolvers).
#
#   BENCH_SECTIONS      the sections to run and print, by their numbers in
#                       the table (default all: "1 2 3 4 5 6 7 8 9 10")
#   BENCH_ROUNDS        connect/disconnect, switch and takeover rounds (default 11)
#   BENCH_PASS_ROUNDS   membership pass rounds (default 21)
#   BENCH_HOLD_ROUNDS   10-second READY holds with a policy (default 3)
#   BENCH_HOLD_SECONDS  length of one hold (default 10)
#   BENCH_LOAD          extra processes for the monitor figures (default 2000)
#   BENCH_APP_PROCS     of them, processes of the selected application (default 10)
#   BENCH_SCALE_ROUNDS  input-scale rounds (default 5)
#   BENCH_RESTORE_ROUNDS  restores of the kill switch per figure (default 21)
#   BENCH_STARTS        program starts per exec-to-moved figure (default 200)
#   BENCH_THROUGHPUT_ROUNDS, BENCH_THROUGHPUT_MIB  see bench_throughput.sh
#   LVH_BUILD_DIR       build to measure (default build/)
set -u
cd "$(dirname "$0")/../.."
source tests/netns/testbed.sh
source tools/bench/lib_bench.sh
if [ "${LVH_IN_TESTBED:-}" != 1 ]; then
  LVH_BENCH_MONITOR_SAMPLES=$(mktemp /tmp/lvh-bench-monitor.XXXXXX)
  LVH_BENCH_DNS_SAMPLES=$(mktemp /tmp/lvh-bench-dns.XXXXXX)
  export LVH_BENCH_MONITOR_SAMPLES LVH_BENCH_DNS_SAMPLES
  trap 'rm -f "$LVH_BENCH_MONITOR_SAMPLES" "$LVH_BENCH_DNS_SAMPLES"' EXIT
  if bench_wants 2 || bench_wants 5; then
    bash tools/bench/bench_monitor.sh "$LVH_BENCH_MONITOR_SAMPLES" || exit 1
  fi
  # Its own test bed, the routed one with a container.
  if bench_wants 7; then bash tools/bench/bench_throughput.sh "$LVH_BENCH_MONITOR_SAMPLES" || exit 1; fi
  if bench_wants 8; then bash tools/bench/bench_dns.sh "$LVH_BENCH_DNS_SAMPLES" || exit 1; fi
fi
testbed_enter "$@"
testbed_setup --ipv6
trap 'bench_remove_load; testbed_cleanup' EXIT

ROUNDS=${BENCH_ROUNDS:-11}
PASS_ROUNDS=${BENCH_PASS_ROUNDS:-21}
HOLD_ROUNDS=${BENCH_HOLD_ROUNDS:-3}
HOLD_SECONDS=${BENCH_HOLD_SECONDS:-10}
LOAD=${BENCH_LOAD:-2000}
APP_PROCS=${BENCH_APP_PROCS:-10}
SCALE_ROUNDS=${BENCH_SCALE_ROUNDS:-5}
RESTORE_ROUNDS=${BENCH_RESTORE_ROUNDS:-21}
DRIVER="$LVH_BUILD_DIR/tools/bench/bench_driver"
for needed in "$LVH_HELPER" "$DRIVER" "$LVH_ENGINE" "$LVH_RECORDER"; do
  [ -e "$needed" ] || { echo "bench: $needed is missing; build first" >&2; exit 1; }
done

SAMPLES="$TESTBED_TMP/samples"
RECORD="$TESTBED_TMP/commands"
CONFIG="$TESTBED_TMP/config.json"
FIRST_SERVER=203.0.113.7
cat > "$CONFIG" <<EOF
{"inbounds": [{"tag": "tun-in", "protocol": "tun", "settings": {"name": "qtun0", "MTU": 1500}}],
 "outbounds": [{"protocol": "vless", "settings": {"vnext": [{"address": "$FIRST_SERVER", "port": 443}]}}]}
EOF
# The second server of sections 9 and 10: another literal address, the
# rest of the configuration the same.
NEXT_SERVER=203.0.113.9
NEXT_CONFIG="$TESTBED_TMP/next-config.json"
sed "s/$FIRST_SERVER/$NEXT_SERVER/" "$CONFIG" > "$NEXT_CONFIG"
# The typical run's options but its configuration, and the typical run.
TYPICAL_OPTIONS=(--lib "$LVH_ENGINE" --dat-dir "$TESTBED_TMP"
                 --bypass-prefixes 10.0.0.0/8,172.16.0.0/12 --kill-switch)
TYPICAL=(--config "$CONFIG" "${TYPICAL_OPTIONS[@]}")
cat "${LVH_BENCH_MONITOR_SAMPLES:-/dev/null}" "${LVH_BENCH_DNS_SAMPLES:-/dev/null}" > "$SAMPLES"
# A policy whose program is not running: the pass runs, nothing is moved.
APP_GROUP=zelmo-vpn-app-routing
ROUND_POLICY='{"enabled":true,"mode":"bypassSelected","apps":["benchapp"]}'

# --- 1. Connect and disconnect beside the command floor --------------------
if bench_wants 1; then
  echo "bench: checking that the replayed commands reach the helper's state" >&2
  bench_check_floor_state || exit 1

  echo "bench: $ROUNDS connect/disconnect rounds" >&2
  for round in $(seq "$ROUNDS"); do
    # A user stops the tunnel at any moment, not right after READY: the hold
    # spreads SIGTERM over the phases of the wait loop's 200 ms sleep.
    hold=$(awk -v r="$round" 'BEGIN { printf "%.3f", 0.3 + (r * 0.073) % 0.2 }')
    # The timed run has nothing preloaded; a recorded run beside it gives the
    # command texts and shows when the teardown's first command starts.
    "$DRIVER" helper --hold "$hold" --stderr "$TESTBED_TMP/helper.err" \
      -- "$LVH_HELPER" "${TYPICAL[@]}" >> "$SAMPLES" || exit 1
    out=$("$DRIVER" helper --record "$RECORD" --recorder "$LVH_RECORDER" --hold "$hold" \
            --stderr "$TESTBED_TMP/helper.err" -- "$LVH_HELPER" "${TYPICAL[@]}") || exit 1
    sed 's/^/recorded_/' <<< "$out" >> "$SAMPLES"
    # The same run with name lookups redirected (--dns, both families).
    "$DRIVER" helper --hold "$hold" --stderr "$TESTBED_TMP/helper.err" \
      -- "$LVH_HELPER" "${TYPICAL[@]}" --dns 100.100.53.53,fd53::53 | sed 's/^/withdns_/' >> "$SAMPLES"
    [ "${PIPESTATUS[0]}" = 0 ] || exit 1
    split=$(awk '$1 == "connect_commands" { print int($2) }' <<< "$out")
    held=$(awk '$1 == "held_commands" { print int($2) }' <<< "$out")
    for mode in shell direct; do
      "$DRIVER" floor --mode "$mode" --engine "$LVH_ENGINE" --config "$CONFIG" \
        --dat-dir "$TESTBED_TMP" --record "$RECORD" --split "$split" --skip "$held" >> "$SAMPLES" || exit 1
    done
    # The same run with a policy, timed and recorded: disconnect also stops
    # the monitor and removes the policy's state.
    "$DRIVER" helper --hold "$hold" --stderr "$TESTBED_TMP/helper.err" \
      -- "$LVH_HELPER" "${TYPICAL[@]}" --app-routing-policy "$ROUND_POLICY" |
      sed 's/^/withpolicy_/' >> "$SAMPLES"
    [ "${PIPESTATUS[0]}" = 0 ] || exit 1
    policy_out=$("$DRIVER" helper --record "$RECORD.policy" --recorder "$LVH_RECORDER" --hold "$hold" \
            --stderr "$TESTBED_TMP/helper.err" \
            -- "$LVH_HELPER" "${TYPICAL[@]}" --app-routing-policy "$ROUND_POLICY") || exit 1
    sed 's/^/withpolicy_recorded_/' <<< "$policy_out" >> "$SAMPLES"
    policy_split=$(awk '$1 == "connect_commands" { print int($2) }' <<< "$policy_out")
    policy_held=$(awk '$1 == "held_commands" { print int($2) }' <<< "$policy_out")
    # The helper makes its group with mkdir, not by a command, right after
    # the start's sweep removed any old one: in the replay the sweep's rmdir
    # makes it again, so the mark rule finds it; the teardown's removes it.
    group="/sys/fs/cgroup/$APP_GROUP"
    sed -i "0,\\%^system: rmdir $group %s%^system: rmdir $group .*%&; mkdir $group%" "$RECORD.policy"
    grep -q "; mkdir $group\$" "$RECORD.policy" ||
      echo "bench: the policy run's record has no sweep of $group to replay" >&2
    "$DRIVER" floor --mode shell --engine "$LVH_ENGINE" --config "$CONFIG" --dat-dir "$TESTBED_TMP" \
      --record "$RECORD.policy" --split "$policy_split" --skip "$policy_held" |
      sed 's/^/withpolicy_/' >> "$SAMPLES"
    [ "${PIPESTATUS[0]}" = 0 ] || exit 1
    rmdir "/sys/fs/cgroup/$APP_GROUP" 2>/dev/null
  done
  # The executable's own start-up and exit, without any work: validate mode.
  "$DRIVER" startup --repeat "$ROUNDS" -- "$LVH_HELPER" --validate-app-bypass-policy '' \
    >> "$SAMPLES" || exit 1
  if [ -s "$TESTBED_TMP/helper.err" ]; then
    echo "bench: the typical run wrote to standard error:" >&2
    sed 's/^/  /' "$TESTBED_TMP/helper.err" >&2
  fi
fi

# --- 2 and 3. Monitor pass, CPU and memory with extra processes ------------
if bench_wants 2 || bench_wants 3; then
  echo "bench: starting $LOAD extra processes ($APP_PROCS of the selected application)" >&2
  bench_start_load "$LOAD" "$APP_PROCS" || exit 1

  echo "bench: $PASS_ROUNDS membership passes beside pgrep" >&2
  "$DRIVER" pass --app benchapp --repeat "$PASS_ROUNDS" >> "$SAMPLES" || exit 1
  # The remove mode hands the processes back and deletes the group again.
  "$LVH_HELPER" --remove-app-bypass-policy > /dev/null

  POLICY='{"enabled":true,"mode":"bypassSelected","apps":["benchapp"]}'
  echo "bench: $HOLD_ROUNDS holds of ${HOLD_SECONDS}s READY with a policy" >&2
  for round in $(seq "$HOLD_ROUNDS"); do
    "$DRIVER" helper --hold "$HOLD_SECONDS" -- "$LVH_HELPER" "${TYPICAL[@]}" \
      --app-routing-policy "$POLICY" | sed 's/^/policy_/' >> "$SAMPLES"
    [ "${PIPESTATUS[0]}" = 0 ] || exit 1
  done
  bench_remove_load
fi

# --- 5. The watch while READY ------------------------------------------------
# A second network on eth1 (the gateway's namespace at 192.0.3.1) takes over
# the default routes of both families while eth0 stays up; the helper (the
# typical run with a bypassSelected policy) moves its pieces there.
if bench_wants 5; then
  testbed_second_network
  bench_now_ns() { date +%s%N; }
  WATCH_ARGS=("${TYPICAL[@]}" --app-routing-policy "$ROUND_POLICY")
  echo "bench: $ROUNDS default-route moves under a READY helper, beside their commands through sh -c" >&2
  for round in $(seq "$ROUNDS"); do
    : > "$RECORD.watch"; : > "$RECORD.ends"
    LVH_RECORD_FILE="$RECORD.watch" LVH_RECORD_END_FILE="$RECORD.ends" start_helper "${WATCH_ARGS[@]}"
    wait_for_line READY || { echo "bench: no READY for the move" >&2; exit 1; }
    sleep 1
    before=$(wc -l < "$RECORD.watch")
    start=$(bench_now_ns)
    testbed_roam
    sleep 1.5
    # The move is the look the change set off, up to its last change; the
    # notifications of its own changes then set off one more look, which
    # finds everything in place and changes nothing: counted apart.
    last=$(awk -v from="$before" 'NR > from && /^system: / { n = NR } END { print n + 0 }' "$RECORD.watch")
    [ "$last" -gt "$before" ] || { echo "bench: the move changed nothing" >&2; exit 1; }
    echo "repin_ms $(( ($(sed -n "${last}p" "$RECORD.ends") - start) / 1000 ))e-3" | awk '{ print $1, $2 + 0 }' >> "$SAMPLES"
    echo "repin_commands $((last - before))" >> "$SAMPLES"
    echo "repin_changes $(sed -n "$((before + 1)),${last}p" "$RECORD.watch" | grep -c '^system: ')" >> "$SAMPLES"
    echo "repin_check_commands $(( $(wc -l < "$RECORD.watch") - last ))" >> "$SAMPLES"
    sed -n "$((before + 1)),${last}p" "$RECORD.watch" | sed -E 's/^(system|popen): //' > "$RECORD.repin"
    stop_helper
    testbed_roam_back
    # The floor: the same move with the helper held still, and the commands
    # it ran for it run one by one through sh -c from the same moment.
    start_helper "${WATCH_ARGS[@]}"
    wait_for_line READY || exit 1
    sleep 1
    kill -STOP "$HELPER_PID"
    start=$(bench_now_ns)
    testbed_roam
    while IFS= read -r command; do sh -c "$command" > /dev/null 2>&1; done < "$RECORD.repin"
    echo "repin_floor_ms $(( ($(bench_now_ns) - start) / 1000 ))e-3" | awk '{ print $1, $2 + 0 }' >> "$SAMPLES"
    kill -CONT "$HELPER_PID"
    sleep 0.5
    stop_helper
    testbed_roam_back
  done
  rm -f "$RECORD.ends"

  # Wake-ups while READY with a policy and nothing changing: every context
  # switch of every thread of the helper is one (the monitor here has no
  # process events; the driver's rows beside it, outside, have them).
  echo "bench: $HOLD_ROUNDS holds of ${HOLD_SECONDS}s READY with a policy, counting wake-ups" >&2
  for round in $(seq "$HOLD_ROUNDS"); do
    start_helper "${WATCH_ARGS[@]}"
    wait_for_line READY || exit 1
    sleep 2
    all=$(bench_thread_switches "$HELPER_PID") main=$(bench_main_switches "$HELPER_PID")
    cpu=$(bench_cpu_ns "$HELPER_PID")
    sleep "$HOLD_SECONDS"
    awk -v all="$(bench_thread_switches "$HELPER_PID")" -v all0="$all" \
        -v main="$(bench_main_switches "$HELPER_PID")" -v main0="$main" \
        -v cpu="$(bench_cpu_ns "$HELPER_PID")" -v cpu0="$cpu" -v s="$HOLD_SECONDS" 'BEGIN {
          print "watch_wakeups_per_second", (all - all0) / s
          print "watch_main_wakeups_per_second", (main - main0) / s
          print "watch_cpu_percent", 100 * (cpu - cpu0) / 1e9 / s }' >> "$SAMPLES"
    stop_helper
  done
  ip link delete eth1
fi

# --- 4. Input scale -----------------------------------------------------------
if bench_wants 4; then
  echo "bench: $SCALE_ROUNDS rounds of input-scale operations" >&2
  "$DRIVER" scale --config-bytes $((16 * 1024 * 1024)) --policy-bytes 65536 \
    --repeat "$SCALE_ROUNDS" >> "$SAMPLES" || exit 1
fi

# --- 6. Keeping what was installed while READY -----------------------------
# Each figure is a helper's first restore of its kind: removals in a row
# are a fight, which the helper answers after a growing pause (below).
if bench_wants 6; then
  echo "bench: $RESTORE_ROUNDS restores of the kill switch per figure" >&2
  bench_first_restore() {
    start_helper "${TYPICAL[@]}"
    wait_for_line READY || { echo "bench: the helper did not become READY" >&2; exit 1; }
    # The look that follows READY finds everything in place; the removal
    # comes after it.
    sleep 0.3
    "$DRIVER" restore --take "$1" --check "iptables -C OUTPUT -j ZELMO_KILLSWITCH" \
      --figure "$2" --repeat 1 >> "$SAMPLES" || exit 1
    stop_helper
  }
  for round in $(seq "$RESTORE_ROUNDS"); do
    bench_first_restore "iptables -F OUTPUT" restore_output_ms
    bench_first_restore "iptables -F; iptables -X" restore_table_ms
  done

  # An eager program that puts its own accepting jump first in OUTPUT of both
  # families whenever it is not: the helper's CPU while they fight (the guard
  # holds the kill switch meanwhile, so the helper answers with a growing
  # pause), beside the same stretch with nothing changing.
  FIGHT_SECONDS=${BENCH_FIGHT_SECONDS:-20}
  echo "bench: ${HOLD_ROUNDS} fights of ${FIGHT_SECONDS}s over OUTPUT's first place" >&2
  bench_fight_eager() {
    local tool
    while [ -e "$TESTBED_TMP/eager" ]; do
      for tool in iptables ip6tables; do
        [ "$("$tool" -S OUTPUT | sed -n 2p)" = "-A OUTPUT -j ACCEPT" ] || "$tool" -I OUTPUT 1 -j ACCEPT
      done
    done
  }
  for round in $(seq "$HOLD_ROUNDS"); do
    start_helper "${TYPICAL[@]}"
    wait_for_line READY || exit 1
    sleep 1
    cpu=$(bench_cpu_ns "$HELPER_PID")
    sleep "$FIGHT_SECONDS"
    echo "fight_idle_cpu_percent $(awk -v a="$(bench_cpu_ns "$HELPER_PID")" -v b="$cpu" -v s="$FIGHT_SECONDS" \
      'BEGIN { print 100 * (a - b) / 1e9 / s }')" >> "$SAMPLES"
    touch "$TESTBED_TMP/eager"
    bench_fight_eager 2> /dev/null &
    fighter=$!
    cpu=$(bench_cpu_ns "$HELPER_PID")
    sleep "$FIGHT_SECONDS"
    echo "fight_cpu_percent $(awk -v a="$(bench_cpu_ns "$HELPER_PID")" -v b="$cpu" -v s="$FIGHT_SECONDS" \
      'BEGIN { print 100 * (a - b) / 1e9 / s }')" >> "$SAMPLES"
    rm "$TESTBED_TMP/eager"
    wait "$fighter"
    while iptables -D OUTPUT -j ACCEPT 2> /dev/null; do :; done
    while ip6tables -D OUTPUT -j ACCEPT 2> /dev/null; do :; done
    stop_helper
  done
fi

# --- 9. Switching servers ---------------------------------------------------
# The typical run moved to a second server by SIGHUP, beside the client's
# way without it (SIGTERM, STOPPED and exit, a new start), each on its own
# copy of the configuration that the driver rewrites to name the second
# server before the signal and restores afterwards. The stand-in engine
# sends to the address it is given: nothing has to answer there.
if bench_wants 9; then
  SWITCH_CONFIG="$TESTBED_TMP/switch-config.json"
  cp "$CONFIG" "$SWITCH_CONFIG"
  echo "bench: checking that a switch reaches the state of a new start on the second server" >&2
  bench_check_switch_state --config "$SWITCH_CONFIG" "${TYPICAL_OPTIONS[@]}" || exit 1
  echo "bench: $ROUNDS rounds of switches beside stops and starts, without and with a policy" >&2
  for round in $(seq "$ROUNDS"); do
    # Which goes first alternates, so neither always meets a warmer cache.
    order=(hup restart)
    [ $((round % 2)) = 0 ] && order=(restart hup)
    for prefix in "" policy_; do
      args=(--config "$SWITCH_CONFIG" "${TYPICAL_OPTIONS[@]}")
      [ -n "$prefix" ] && args+=(--app-routing-policy "$ROUND_POLICY")
      for by in "${order[@]}"; do
        # Timed with nothing preloaded, then recorded for the commands.
        bench_switch "$by" -- "${args[@]}" | sed "s/^/$prefix${by}_/" >> "$SAMPLES"
        [ "${PIPESTATUS[0]}" = 0 ] || exit 1
        bench_switch "$by" --recorder "$LVH_RECORDER" --settle 1 -- "${args[@]}" |
          sed "s/^/$prefix${by}_recorded_/" >> "$SAMPLES"
        [ "${PIPESTATUS[0]}" = 0 ] || exit 1
      done
    done
  done
fi

# --- 10. Taking over a killed run ------------------------------------------
# A READY run on the first server killed with SIGKILL, then a start on the
# second, which takes over what the killed run left; beside it the same
# start on a clean host. The typical run, and a full one (a bypassSelected
# policy and --dns besides).
if bench_wants 10; then
  FULL_OPTIONS=("${TYPICAL_OPTIONS[@]}" --app-routing-policy "$ROUND_POLICY" --dns 100.100.53.53,fd53::53)
  echo "bench: checking that a takeover reaches the state of a start on a clean host" >&2
  bench_check_takeover_state "${TYPICAL_OPTIONS[@]}" || exit 1
  bench_check_takeover_state "${FULL_OPTIONS[@]}" || exit 1
  echo "bench: $ROUNDS rounds of takeovers beside starts on a clean host" >&2
  for round in $(seq "$ROUNDS"); do
    order=(takeover clean)
    [ $((round % 2)) = 0 ] && order=(clean takeover)
    for run in typical full; do
      options=("${TYPICAL_OPTIONS[@]}")
      [ "$run" = full ] && options=("${FULL_OPTIONS[@]}")
      for start in "${order[@]}"; do
        [ "$start" = takeover ] && { bench_kill_run --config "$CONFIG" "${options[@]}" || exit 1; }
        "$DRIVER" start --output "$TESTBED_TMP/start.out" --recorder "$LVH_RECORDER" \
          --stderr "$TESTBED_TMP/switch.err" -- "$LVH_HELPER" --config "$NEXT_CONFIG" "${options[@]}" |
          sed "s/^/${run}_${start}_/" >> "$SAMPLES"
        [ "${PIPESTATUS[0]}" = 0 ] || exit 1
      done
    done
  done
fi

if [ -s "$TESTBED_TMP/switch.err" ]; then
  echo "bench: the switching and takeover runs wrote to standard error:" >&2
  sed 's/^/  /' "$TESTBED_TMP/switch.err" >&2
fi
bench_print_table
