#!/bin/bash
# The kill switch's cost on throughput through the tunnel: one bulk TCP
# transfer from a container behind the host's bridge (forwarded, then
# masqueraded into the tunnel) and one from the host itself, each with the
# kill switch and without, alternately in the same invocation, in the
# routed topology of the namespace tests (tests/netns/lib_routed.sh).
#
#   bench_throughput.sh [SAMPLES_FILE]
#
# With SAMPLES_FILE it appends "figure value" lines to it (make bench);
# without, it prints its own rows of the table.
#   BENCH_THROUGHPUT_ROUNDS  rounds, each with and without (default 11)
#   BENCH_THROUGHPUT_MIB     size of one transfer in MiB (default 32)
#   BENCH_THROUGHPUT_BEST    transfers per figure and round, the best kept (default 3)
set -u
cd "$(dirname "$0")/../.."
source tests/netns/testbed.sh
testbed_enter "$@"
source tests/netns/lib_routed.sh
source tools/bench/lib_bench.sh
routed_setup
routed_container bench

ROUNDS=${BENCH_THROUGHPUT_ROUNDS:-11}
MIB=${BENCH_THROUGHPUT_MIB:-32}
BEST=${BENCH_THROUGHPUT_BEST:-3}
SAMPLES=${1:-$TESTBED_TMP/samples}
SINK_PORT=9100
# The server answers with the number of bytes it read, once the sender has
# finished: a transfer ends when everything arrived, not when it was queued.
nsenter --net="/proc/$INET_PID/ns/net" socat TCP-LISTEN:$SINK_PORT,fork,reuseaddr SYSTEM:'wc -c' &
for try in $(seq 50); do
  inet_exec ss -Hltn "sport = :$SINK_PORT" | grep -q . && break
  sleep 0.1
done

# transfer FIGURE [ct]: transfers to the server through the tunnel; the
# best rate of BEST of them, in MiB/s, appended as FIGURE. The best of a
# few leaves out a transfer that other work on the machine slowed down.
transfer() {
  local run=() start bytes try rates=""
  [ "${2:-}" = ct ] && run=(ct_exec bench)
  for try in $(seq "$BEST"); do
    start=$(date +%s%N)
    bytes=$(head -c "${MIB}M" /dev/zero | "${run[@]}" socat -t 60 - "TCP:$SERVER4:$SINK_PORT")
    if [ "$bytes" != $((MIB * 1048576)) ]; then
      echo "bench: a transfer arrived incomplete ($bytes bytes)" >&2
      exit 1
    fi
    rates="$rates $(awk -v mib="$MIB" -v ns=$(($(date +%s%N) - start)) 'BEGIN { print mib / (ns / 1e9) }')"
  done
  echo "$rates" | tr ' ' '\n' | sort -g | tail -n 1 | sed "s/^/$1 /" >> "$SAMPLES"
}

echo "bench: $ROUNDS rounds of ${MIB} MiB transfers through the tunnel, with and without the kill switch" >&2
for round in $(seq "$ROUNDS"); do
  # Which goes first alternates, so neither always meets a warmer cache.
  order=("" on)
  [ $((round % 2)) = 0 ] && order=(on "")
  for ks in "${order[@]}"; do
    routed_start_helper ${ks:+--kill-switch} || { echo "bench: no READY" >&2; exit 1; }
    if [ -n "$ks" ] && ! nft list table inet zelmo-vpn-killswitch > /dev/null 2>&1; then
      echo "bench: the kill switch's table is missing" >&2
      exit 1
    fi
    transfer "forward_${ks:-off}_mibps" ct
    transfer "host_${ks:-off}_mibps"
    stop_helper
  done
done
[ $# -ge 1 ] || bench_print_throughput_rows
