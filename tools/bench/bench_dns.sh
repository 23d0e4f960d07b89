#!/bin/bash
# The name-lookup rows of `make bench`: a lookup through the redirect of
# --dns against the same lookup sent straight to the tunnel's resolver,
# both through the tunnel, with real resolvers in the routed topology
# (tests/netns/lib_dns.sh), inside a test bed of its own.
#
#   bench_dns.sh SAMPLES_FILE    (appends "figure value" lines to it)
#
#   BENCH_LOOKUP_ROUNDS  rounds (default 11), BENCH_LOOKUP_BATCH  lookups
#   to each server per round, whose median is the round's (default 51)
set -u
cd "$(dirname "$0")/../.."
source tests/netns/testbed.sh
testbed_enter "$@"
source tests/netns/lib_routed.sh
source tests/netns/lib_dns.sh
routed_setup
dns_setup

SAMPLES=$1
DRIVER="$LVH_BUILD_DIR/tools/bench/bench_driver"
echo "bench: ${BENCH_LOOKUP_ROUNDS:-11} rounds of lookups through the redirect beside lookups straight to the tunnel's resolver" >&2
# The kill switch too: its rules are on the redirected lookups' path.
routed_start_helper --kill-switch --dns "$TUNNEL_DNS4,$TUNNEL_DNS6" ||
  { echo "bench: the helper with --dns did not become READY" >&2; exit 1; }
# Both timed lookups must be answered by the tunnel's resolver.
for server in "$GW_IP4" "$TUNNEL_DNS4"; do
  dns_use "$server"
  [ "$(lookup)" = "$ANSWER_TUNNEL" ] ||
    { echo "bench: a lookup to $server was not answered through the tunnel" >&2; exit 1; }
done
"$DRIVER" lookup --redirected "$GW_IP4" --direct "$TUNNEL_DNS4" --name "$LOOKUP_NAME" \
  --repeat "${BENCH_LOOKUP_ROUNDS:-11}" --batch "${BENCH_LOOKUP_BATCH:-51}" >> "$SAMPLES" || exit 1
stop_helper
