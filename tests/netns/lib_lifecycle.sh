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
