# Shared pieces of the lifecycle namespace tests (sourced after testbed.sh).

# The capability line every privileged mode prints first.
CAPABILITY_LINE_RE='^INFO: helper pid=[0-9]+ CapPrm=[0-9a-f]* CapEff=[0-9a-f]* NoNewPrivs=[0-9]*$'

# write_engine_config FILE TUN_NAME ENDPOINT: a minimal engine configuration
# with one TUN inbound and one server.
write_engine_config() {
  cat > "$1" <<JSON
{
  "log": { "loglevel": "warning" },
  "inbounds": [
    { "tag": "tun-in", "protocol": "tun", "settings": { "name": "$2", "mtu": 1500 } }
  ],
  "outbounds": [
    { "tag": "proxy", "protocol": "vless",
      "settings": { "vnext": [ { "address": "$3", "port": 443, "users": [ { "id": "x" } ] } ] } },
    { "tag": "direct", "protocol": "freedom" }
  ]
}
JSON
}

# run_to_end ARGS...: runs the helper to completion in the foreground;
# OUT holds its standard output, ERR its standard error, STATUS its exit status.
run_to_end() {
  OUT=$("$LVH_HELPER" "$@" 2> "$TESTBED_TMP/run_to_end.err")
  STATUS=$?
  ERR=$(cat "$TESTBED_TMP/run_to_end.err")
}

# start_helper_with_events ARGS...: like start_helper, but the stand-in
# engine appends its events (loaded, run, request ..., stop, unloaded) to
# the helper's own output file. Both append, so the file shows the true
# order of engine events and status lines. A script's background job starts
# with SIGINT ignored; the helper gets the default dispositions a client
# gives it.
start_helper_with_events() {
  HELPER_OUT="$TESTBED_TMP/helper.out.$RANDOM"
  HELPER_ERR="$TESTBED_TMP/helper.err.$RANDOM"
  : > "$HELPER_OUT"
  LVH_ENGINE_EVENT_LOG="$HELPER_OUT" env --default-signal=INT,TERM "$LVH_HELPER" "$@" \
    >> "$HELPER_OUT" 2> "$HELPER_ERR" &
  HELPER_PID=$!
}

# engine_events: the engine's lines of $HELPER_OUT, request lines shortened to "request".
engine_events() {
  grep -E '^(loaded|run|request|stop|unloaded)( |$)' "$HELPER_OUT" | sed 's/^request .*/request/'
}

# status_lines: the helper's own lines of $HELPER_OUT.
status_lines() {
  grep -v -E '^(loaded|run|request|stop|unloaded)( |$)' "$HELPER_OUT"
}

# wait_for_file_line FILE LINE: waits (20 s at most) until FILE holds LINE.
wait_for_file_line() {
  local deadline=$((SECONDS + 20))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -qxF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# The full run of the stop and crash tests: kill switch, two bypass prefixes,
# an endpoint with an IPv4 and an IPv6 address over an IPv6 default route,
# a bypassSelected policy whose application is running, and name lookups
# redirected into the tunnel (--dns, both families).
# full_run_setup: the test bed for it; FULL_RUN_ARGS are the helper's
# arguments, FULL_APP_PID the application's process.
full_run_setup() {
  testbed_setup --ipv6
  testbed_hosts "203.0.113.7 vpn.test" "2001:db8:5::7 vpn.test"
  local config="$TESTBED_TMP/full-run.json" app="fullrun$$"
  write_engine_config "$config" qtun0 vpn.test
  # The monitor scans every process it can see: a name of this test's own
  # keeps it to this application.
  cp "$(command -v sleep)" "$TESTBED_TMP/$app"
  "$TESTBED_TMP/$app" infinity &
  FULL_APP_PID=$!
  FULL_RUN_ARGS=(--lib "$LVH_ENGINE" --config "$config" --dat-dir "$TESTBED_TMP"
    --bypass-prefixes "10.20.0.0/16,172.16.5.0/24" --kill-switch --dns 100.100.53.53,fd53::53
    --app-routing-policy '{"enabled":true,"mode":"bypassSelected","apps":["'"$app"'"]}')
}

# full_run_record_start RECORD: starts the full run with its commands
# recorded into RECORD and waits for READY (false if it never comes); the
# run is left READY, and RECORD then holds exactly the start sequence.
full_run_record_start() {
  : > "$1"
  LVH_RECORD_FILE="$1" start_helper "${FULL_RUN_ARGS[@]}"
  wait_for_line READY
}

# start_sequence_kill_points RECORD: the numbers of the recorded commands
# after which a run can be cut short with something left to undo: every
# command run for its status (popen only reads listings), except pure
# existence checks.
start_sequence_kill_points() {
  awk '/^system: / && !(/ -C / && !/\|\|/) { print NR }' "$1"
}

# wait_for_exit [SECONDS]: waits (20 s at most) for the helper to end and
# sets HELPER_STATUS; one that is still running then is killed, and the
# wait fails.
wait_for_exit() {
  local deadline=$((SECONDS + ${1:-20})) running=1
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$HELPER_PID" 2>/dev/null || { running=0; break; }
    sleep 0.05
  done
  [ "$running" = 1 ] && kill -KILL "$HELPER_PID"
  wait "$HELPER_PID"
  HELPER_STATUS=$?
  [ "$running" = 0 ]
}

# hold_lock_device: a process that is not a helper (the tunnel server, on a
# TUN device of the lock's name) takes the helper lock; its pid goes into
# HOLDER_PID. False if it could not.
hold_lock_device() {
  "$LVH_BUILD_DIR/tools/tunnel_server/tunnel_server" --tun zelmo-vpn-lock --address4 none \
    --address6 none --port 4999 > "$TESTBED_TMP/holder.out" 2>&1 &
  HOLDER_PID=$!
  wait_for_file_line "$TESTBED_TMP/holder.out" ready
}
