#!/usr/bin/env bash
# The run mode's bridge to the engine library, against the stand-in engine:
# load failures, a library without the stop entry point, null and refused
# answers, the request text the engine receives, and the order of engine
# events and status lines (the engine appends its events to the helper's
# own output file, see lib_lifecycle.sh).
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_enter "$@"
testbed_setup

config="$TESTBED_TMP/config.json"
write_engine_config "$config" qtun0 198.51.100.7
before=$(testbed_snapshot)

# run_with_events WHAT ARGS...: runs the helper to its end with engine events.
run_with_events() {
  start_helper_with_events "$@"
  wait "$HELPER_PID"
  HELPER_STATUS=$?
}

# line_number TEXT: the number of the first line of $HELPER_OUT equal to TEXT.
line_number() { grep -nxF -- "$1" "$HELPER_OUT" | head -n 1 | cut -d: -f1; }

# assert_before A B WHAT: line A comes before line B in $HELPER_OUT.
assert_before() {
  local a b
  a=$(line_number "$1"); b=$(line_number "$2")
  if [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]; then pass "$3"; else fail "$3"; sed 's/^/    /' "$HELPER_OUT"; fi
}

# The status lines of a run that ends before the engine starts: the
# capability line, the five INFO lines in their order, then the outcome.
assert_plan_lines_then() {
  local prefixes
  prefixes=$(status_lines | sed -E 's/^(INFO: helper pid=|INFO: tun_name=|INFO: endpoint=|INFO: configured bypass4=\[|INFO: default4 via=|INFO: default6 ).*/\1/')
  assert_eq "INFO: helper pid=
INFO: tun_name=
INFO: endpoint=
INFO: configured bypass4=[
INFO: default4 via=
INFO: default6 
$1" "$prefixes" "$2"
}

# --- the library cannot be loaded
run_to_end --lib /nonexistent/libXray.so --config "$config"
assert_eq 2 "$STATUS" "missing library: exit status"
assert_eq "ERROR: dlopen failed: /nonexistent/libXray.so: cannot open shared object file: No such file or directory" \
  "$(tail -n 1 <<< "$OUT")" "missing library: the loader's error text"
assert_eq 2 "$(wc -l <<< "$OUT")" "missing library: capability line and error only"

run_to_end --lib /etc/hostname --config "$config"
assert_eq 2 "$STATUS" "not a library: exit status"
assert_contains "$(tail -n 1 <<< "$OUT")" "ERROR: dlopen failed: /etc/hostname: " "not a library: the loader's error text"

# --- a library without CGoStopXray is unloaded before the error is printed
run_with_events --lib "$LVH_ENGINE_NOSTOP" --config "$config"
assert_eq 2 "$HELPER_STATUS" "no stop entry point: exit status"
assert_eq "ERROR: required symbols not found in libXray" "$(status_lines | tail -n 1)" "no stop entry point: line 11"
assert_eq "loaded
unloaded" "$(engine_events)" "no stop entry point: never run, unloaded"
assert_before unloaded "ERROR: required symbols not found in libXray" "no stop entry point: unloaded before the error line"

# --- an invalid policy ends the run before the engine starts; the policy
# given with --validate-app-bypass-policy is the run's policy
for option in --app-routing-policy --validate-app-bypass-policy; do
  run_with_events --lib "$LVH_ENGINE" --config "$config" \
    "$option" '{"enabled":true,"mode":"bypassSelected"}'
  assert_eq 2 "$HELPER_STATUS" "$option invalid: exit status"
  assert_eq "ERROR: invalid app routing policy: enabled app bypass requires at least one process name" \
    "$(status_lines | tail -n 1)" "$option invalid: line 5"
  assert_eq 2 "$(status_lines | wc -l)" "$option invalid: no INFO line of the plan"
  assert_eq "loaded
unloaded" "$(engine_events)" "$option invalid: engine never run"
done

# --- null answer: unloaded, never stopped. (The error line comes first
# here, then the unload, so the order cannot tell dlclose from process exit.)
LVH_ENGINE_RESPONSE=null run_with_events --lib "$LVH_ENGINE" --config "$config"
assert_eq 2 "$HELPER_STATUS" "null answer: exit status"
assert_plan_lines_then "ERROR: libXray returned null response" "null answer: plan lines, then line 17"
assert_eq "loaded
run
request
unloaded" "$(engine_events)" "null answer: not stopped, unloaded"
assert_before "$(status_lines | grep '^INFO: default6 ')" run "null answer: plan printed before the engine starts"

# --- a refusal is printed whole
LVH_ENGINE_RESPONSE=failure run_with_events --lib "$LVH_ENGINE" --config "$config"
refusal='ERROR: {"success":false,"error":"engine refused the configuration"}'
assert_eq 2 "$HELPER_STATUS" "refusal: exit status"
assert_plan_lines_then "$refusal" "refusal: plan lines, then the whole decoded answer"
assert_eq "loaded
run
request
unloaded" "$(engine_events)" "refusal: not stopped, unloaded"

# --- answers judged by the two exact markers only
LVH_ENGINE_RESPONSE=text: run_with_events --lib "$LVH_ENGINE" --config "$config"
assert_eq 2 "$HELPER_STATUS" "empty answer: exit status"
assert_eq "ERROR: " "$(status_lines | tail -n 1)" "empty answer: ERROR and nothing after it"

for answer in '{"success" : true}' '{"success":  true}' '{"success":True}' '{"success":false}'; do
  LVH_ENGINE_RESPONSE="text:$answer" run_with_events --lib "$LVH_ENGINE" --config "$config"
  assert_eq "2 ERROR: $answer" "$HELPER_STATUS $(status_lines | tail -n 1)" "answer $answer is a refusal"
done

# One space after the colon counts as success: the run goes on to READY
# (this engine answer created no device) and stops the engine at the end.
LVH_ENGINE_RESPONSE='text:{"result":{"success": true}}' start_helper_with_events --lib "$LVH_ENGINE" --config "$config"
if wait_for_line READY; then pass "spaced nested marker: READY"; else fail "spaced nested marker: no READY"; sed 's/^/    /' "$HELPER_OUT" "$HELPER_ERR"; fi
stop_helper TERM
assert_eq "0 STOPPED" "$HELPER_STATUS $(status_lines | tail -n 1)" "spaced nested marker: stopped cleanly"
assert_eq "loaded
run
request
stop
unloaded" "$(engine_events)" "spaced nested marker: engine stopped, then unloaded"

# --- the request the engine receives: escapes for the JSON it must be
odd_config="$TESTBED_TMP/odd \"name\" back\\slash.json"
cp "$config" "$odd_config"
odd_dir=$(printf 'dat\tdir\001 line\nfeed/j\303\266rg')
LVH_ENGINE_RESPONSE=failure run_with_events --lib "$LVH_ENGINE" --config "$odd_config" --dat-dir "$odd_dir"
expected_request=$(printf 'request {"datDir":"dat\\tdir\\u0001 line\\nfeed/j\303\266rg","mphCachePath":"","configPath":"%s/odd \\"name\\" back\\\\slash.json"}' "$TESTBED_TMP")
assert_eq "$expected_request" "$(grep '^request ' "$HELPER_OUT")" "request text with escapes"

LVH_ENGINE_RESPONSE=failure run_with_events --lib "$LVH_ENGINE" --config "$config"
assert_eq "request {\"datDir\":\"\",\"mphCachePath\":\"\",\"configPath\":\"$config\"}" \
  "$(grep '^request ' "$HELPER_OUT")" "request text without --dat-dir"

assert_eq "$before" "$(testbed_snapshot)" "host state as before"
testbed_finish
