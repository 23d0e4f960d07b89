# Switching servers while READY (sourced after testbed.sh, inside the test
# bed): the routed topology with both VPN servers and the leak stream, and
# the client's side of a switch.
#
#   switch_setup         routed_setup, routed_second_vpn, stream_setup; the
#                        configurations FIRST (vpn.test, TUN device
#                        zelmo_vpn-tun0) and SECOND (vpn2.test,
#                        zelmo_vpn-tun1), and RUN_CONFIG, the one a run reads
#   switch_start ARGS... the helper on RUN_CONFIG (as FIRST says) with ARGS;
#                        true once it is READY
#   switch_to FROM       the client's switch: RUN_CONFIG now says what the
#                        file FROM says (none: it is gone), SIGHUP, and the
#                        outcome line that answers it (READY or "ERROR: ...")
#   next_outcome N       the outcome line after the first N, once the helper
#                        printed it (20 s at most; false if it ended first)
#   outcome_count        how many outcome lines the helper printed
#   named WORD...        for each WORD, whether the host's routes, rules,
#                        firewall chains or nft tables name it: WORD:yes/no
#   stop_and_compare WHAT
#                        SIGTERM, then STOPPED and exit 0, and the host as
#                        $BEFORE (a snapshot taken before the run)
#   stream_went [SECONDS]
#                        where the running stream went in SECONDS (1) from
#                        zeroed counters: "OUTSIDE FIRST SECOND", outside the
#                        tunnel and through each server, each "counted" when
#                        all four counts are above 0 (stream_counted), else
#                        the counts "udp4/udp6/syn4/syn6"

source "$(dirname "${BASH_SOURCE[0]}")/lib_routed.sh"

switch_setup() {
  routed_setup
  routed_second_vpn
  stream_setup
  FIRST="$TESTBED_TMP/first.json"
  SECOND="$TESTBED_TMP/second.json"
  RUN_CONFIG="$TESTBED_TMP/run.json"
  routed_write_config "$FIRST" zelmo_vpn-tun0
  routed_write_second_config "$SECOND" zelmo_vpn-tun1
}

switch_start() {
  cp "$FIRST" "$RUN_CONFIG"
  routed_start_helper_on "$RUN_CONFIG" "$@"
}

outcome_lines() { grep -E '^(READY|ERROR: .*)$' "$HELPER_OUT"; }
outcome_count() { outcome_lines | wc -l; }

next_outcome() {
  local deadline=$((SECONDS + 20)) line
  while [ "$SECONDS" -lt "$deadline" ]; do
    line=$(outcome_lines | sed -n "$(($1 + 1))p")
    [ -n "$line" ] && { echo "$line"; return 0; }
    kill -0 "$HELPER_PID" 2> /dev/null || return 1
    sleep 0.05
  done
  return 1
}

switch_to() {
  local before
  before=$(outcome_count)
  if [ "$1" = none ]; then rm -f "$RUN_CONFIG"; else cp "$1" "$RUN_CONFIG"; fi
  kill -HUP "$HELPER_PID"
  next_outcome "$before"
}

named() {
  local text word answers=()
  text=$(ip -4 route show table all; ip -6 route show table all; ip -4 rule; ip -6 rule
    iptables-save; ip6tables-save; nft list ruleset 2> /dev/null)
  for word in "$@"; do
    if grep -qF -- "$word" <<< "$text"; then answers+=("$word:yes"); else answers+=("$word:no"); fi
  done
  echo "${answers[*]}"
}

stream_went() {
  outside_reset
  through_reset
  sleep "${1:-1}"
  echo "$(stream_counted "$(outside_counts)") $(stream_counted "$(through_counts)") $(stream_counted "$(through_counts 2)")"
}

stop_and_compare() {
  stop_helper
  assert_eq "0 STOPPED" "$HELPER_STATUS $(tail -n 1 "$HELPER_OUT")" "$1: SIGTERM ends it with STOPPED"
  assert_eq "$BEFORE" "$(testbed_snapshot)" "$1: STOPPED leaves the host as before the run"
}
