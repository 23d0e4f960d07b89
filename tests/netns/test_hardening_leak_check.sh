#!/usr/bin/env bash
# A full run (kill switch, bypass prefixes, IPv6, app-routing policy with its
# monitor thread) under valgrind: no invalid access and no leak beyond the
# engine's response buffer, which the helper must leave alone.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
testbed_setup --ipv6
command -v valgrind > /dev/null || { fail "valgrind is not installed"; testbed_finish; }

config="$TESTBED_TMP/config.json"
cat > "$config" <<'JSON'
{"inbounds":[{"protocol":"tun","settings":{"name":"zelmo_vpn-tun0"}}],
 "outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"198.51.100.7","port":443}]}}]}
JSON
policy='{"enabled":true,"mode":"bypassSelected","apps":["sleep"]}'
log="$TESTBED_TMP/valgrind.log"
before=$(testbed_snapshot)

HELPER_OUT="$TESTBED_TMP/leak.out"
HELPER_ERR="$TESTBED_TMP/leak.err"
valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99 \
  --suppressions="$(dirname "$0")/valgrind.supp" --log-file="$log" \
  "$LVH_HELPER" --lib "$LVH_ENGINE" --config "$config" --bypass-prefixes 10.0.0.0/8,172.16.0.0/12 \
  --kill-switch --app-routing-policy "$policy" > "$HELPER_OUT" 2> "$HELPER_ERR" &
HELPER_PID=$!
if wait_for_line READY 120; then pass "READY under valgrind"; else fail "no READY"; cat "$HELPER_OUT" "$HELPER_ERR"; fi
# Let the monitor thread make a few passes before stopping.
sleep 2
stop_helper TERM
assert_eq 0 "$HELPER_STATUS" "exit status 0: no memory error and no leak"
assert_eq STOPPED "$(tail -n 1 "$HELPER_OUT")" "STOPPED"
if [ -s "$log" ]; then
  echo "valgrind reported:"; sed 's/^/    /' "$log"
fi
assert_not_contains "$(cat "$log")" "definitely lost" "no definite leak reported"
assert_eq "$before" "$(testbed_snapshot)" "host state as before the run"
testbed_finish
