#!/bin/bash
# Name lookups go where the traffic goes (--dns), with real resolvers in
# the routed topology (tests/netns/lib_dns.sh). For each policy (none;
# bypassSelected and vpnOnlySelected with a selected and an unselected
# program), with and without the kill switch, one run answers every
# resolver set-up (the router over IPv4, over IPv6, a local stub that
# forwards to it, a public resolver beyond it) and a lookup over TCP: the
# tunnel's resolver answers exactly where the tunnel carries that
# program's traffic (for the stub: the stub's own, unless a tunnel-only
# program asks it), the set-up's own resolver where it does not, and
# nothing where the kill switch blocks that traffic. The router counts no
# port-53 packet for a lookup the tunnel answered, beside the same lookups
# counted without the helper. A container behind the host's bridge is
# one more program: its forwarded lookups follow its traffic like an
# unselected program's, and those to a resolver on its own bridge (a
# neighbour's, the host's) stay there. After STOPPED lookups go their old
# way and nothing is left. Then: a resolver that reuses its source port
# across READY and STOPPED, a family without an address and a lookup to
# ::1 refused at once, the tunnel gone (with and without the kill
# switch), and each refused --dns value.
source "$(dirname "$0")/testbed.sh"
testbed_enter "$@"
source "$(dirname "$0")/lib_routed.sh"
source "$(dirname "$0")/lib_dns.sh"
routed_setup
dns_setup
dns_containers
routed_rp_filter 1
APP=$(echo "dnsapp$RANDOM$RANDOM" | cut -c1-15)
DNS_ARGS=(--dns "$TUNNEL_DNS4,$TUNNEL_DNS6")
SETUPS=("router4 $GW_IP4" "router6 $GW_IP6" "stub $STUB_DNS4" "public $PUBLIC_DNS4")
# A container has no stub; it may ask a neighbour on its bridge, or the
# host there.
CT_SETUPS=("router4 $GW_IP4" "router6 $GW_IP6" "public $PUBLIC_DNS4" "neighbour ${CT_IP4[c2]}"
  "bridge $CT_BRIDGE_IP4")
BEFORE=$(testbed_snapshot)

# lookup_by PROGRAM [tcp]: the answer a program gets: a selected one
# (app), the container c1 (ct), or any other.
lookup_by() {
  case $1 in
    app) lookup_as_app "$APP" $2 ;;
    ct) lookup_in_ct c1 $2 ;;
    *) lookup $2 ;;
  esac
}

# measured_row SETUP NAMESERVER PROGRAM [tcp]: "SETUP PROGRAM ANSWER
# zero|seen", the last whether the router saw port-53 packets of it.
measured_row() {
  local answer
  dns_use "$2"
  router_lookups_reset
  answer=$(lookup_by "$3" $4)
  echo "$1${4:+-tcp} $3 $answer $([ "$(router_lookups)" -gt 0 ] && echo seen || echo zero)"
}

# expected_row MODE KILL_SWITCH SETUP PROGRAM (MODE "off": without the helper)
expected_row() {
  local own=$ANSWER_ROUTER sender=$4 answer
  [ "${3%-tcp}" = public ] && own=$ANSWER_PUBLIC
  # A stub's lookups are the stub's traffic, except those a tunnel-only
  # program sends it: they are redirected before they reach it. A
  # container's follow the split routes, as an unselected program's do.
  [ "$3" = stub ] && [ "$1/$4" != vpnOnlySelected/app ] && sender=other
  [ "$4" = ct ] && sender=other
  # Resolvers on the container's bridge answer, whatever runs; the router
  # sees nothing.
  [ "$3" = neighbour ] && { echo "$3 $4 $ANSWER_NEIGHBOUR zero"; return; }
  [ "$3" = bridge ] && { echo "$3 $4 $ANSWER_BRIDGE zero"; return; }
  case "$1/$sender" in
    off/*) answer=$own ;;
    none/* | bypassSelected/other | vpnOnlySelected/app) answer=$ANSWER_TUNNEL ;;
    bypassSelected/app) answer=$own ;;
    vpnOnlySelected/other) answer=$([ -n "$2" ] && echo none || echo "$own") ;;
  esac
  echo "$3 $4 $answer $([ "$answer" = "$own" ] && echo seen || echo zero)"
}

# table MODE KILL_SWITCH measured|expected: every set-up for each program.
table() {
  local programs=(other) program setups setup name server tcp
  [ "$1" = none ] || [ "$1" = off ] || programs+=(app)
  for program in "${programs[@]}" ct; do
    setups=("${SETUPS[@]}")
    [ "$program" = ct ] && setups=("${CT_SETUPS[@]}")
    for setup in "${setups[@]}" "router4 $GW_IP4 tcp"; do
      read -r name server tcp <<< "$setup"
      if [ "$3" = measured ]; then measured_row "$name" "$server" "$program" $tcp
      else expected_row "$1" "$2" "$name${tcp:+-tcp}" "$program"; fi
    done
  done
}

# Positive control: without the helper the set-ups' own resolvers answer,
# and the router counts each lookup.
assert_eq "$(table off "" expected)" "$(table off "" measured)" \
  "without the helper: each set-up's own resolver answers, counted at the router"

for mode in none bypassSelected vpnOnlySelected; do
  for ks in "" on; do
    what="$mode${ks:+, kill switch}"
    policy=()
    [ "$mode" != none ] &&
      policy=(--app-routing-policy "{\"enabled\":true,\"mode\":\"$mode\",\"apps\":[\"$APP\"]}")
    [ "$mode$ks" = none ] && early=$(query_from_port 5353 "$GW_IP4")
    routed_start_helper "${DNS_ARGS[@]}" ${ks:+--kill-switch} "${policy[@]}" ||
      fail "$what: READY ($(cat "$HELPER_ERR"))"
    if [ "$mode$ks" = none ]; then
      assert_eq "INFO: dns=$TUNNEL_DNS4,$TUNNEL_DNS6" "$(grep -A1 '^INFO: default6 ' "$HELPER_OUT" | tail -n 1)" \
        "$what: the addresses are told after the other start lines"
      # A flow that began before READY does not keep its path.
      assert_eq "$ANSWER_ROUTER $ANSWER_TUNNEL" "$early $(query_from_port 5353 "$GW_IP4")" \
        "$what: a resolver reusing its source port is redirected after READY"
    fi
    assert_eq "$(table "$mode" "$ks" expected)" "$(table "$mode" "$ks" measured)" "$what: who answers"
    if [ "$mode" = vpnOnlySelected ] && [ -z "$ks" ]; then
      # ::1 cannot be redirected: refused at once, the resolver moves on.
      dns_use --timeout 10 ::1 "$STUB_DNS4"
      start=$SECONDS
      assert_eq "$ANSWER_TUNNEL" "$(lookup_as_app "$APP")" "$what: a selected lookup to ::1 moves on"
      assert_eq 1 "$((SECONDS - start < 5))" "$what: ... without waiting for ::1"
    fi
    stop_helper
    assert_eq "STOPPED" "$(tail -n 1 "$HELPER_OUT")" "$what: STOPPED"
    assert_eq "$(table off "" expected)" "$(table off "" measured)" \
      "$what: after STOPPED each set-up's own resolver answers again"
    [ "$mode$ks" = none ] && assert_eq "$ANSWER_ROUTER" "$(query_from_port 5353 "$GW_IP4")" \
      "$what: a resolver reusing its source port reaches the router after STOPPED"
    assert_eq "0 0" "$(nft list tables | grep -c zelmo-vpn-dns) $(conntrack -L 2>/dev/null |
      grep -c -e "$TUNNEL_DNS4" -e "$TUNNEL_DNS6")" "$what: no table and no redirected flow left"
  done
done

# An IPv4 address alone: IPv6 lookups are refused at once, and the
# resolver moves on to its IPv4 server, which is redirected.
for ks in "" on; do
  what="IPv4 only${ks:+, kill switch}"
  routed_start_helper --dns "$TUNNEL_DNS4" ${ks:+--kill-switch} || fail "$what: READY"
  dns_use --timeout 10 "$GW_IP6" "$GW_IP4"
  for program in other ct; do
    start=$SECONDS
    assert_eq "$ANSWER_TUNNEL $program" "$(lookup_by $program) $program" \
      "$what: an IPv6 server is skipped for the redirected IPv4 one"
    assert_eq 1 "$((SECONDS - start < 5))" "$what: ... without waiting for the IPv6 server"
  done
  # Not refused: an IPv6 lookup from the LAN that the host forwards to a
  # resolver it publishes.
  dns_use "$HOST_IP6"
  published=$(gw_exec getent ahostsv4 "$LOOKUP_NAME" | awk 'NR == 1 { print $1 }')
  assert_eq "$ANSWER_NEIGHBOUR" "$published" "$what: the LAN asks a container's published resolver"
  # The tunnel gone: a redirected lookup is refused, never sent physically
  # (the positive control on the same counter is the row after STOPPED).
  ip link delete zelmo_vpn-tun0
  assert_eq "router4 other none zero|router4 ct none zero" \
    "$(measured_row router4 "$GW_IP4" other)|$(measured_row router4 "$GW_IP4" ct)" \
    "$what, tunnel gone: redirected lookups reach nothing"
  stop_helper
  assert_eq "router4 other $ANSWER_ROUTER seen|router4 ct $ANSWER_ROUTER seen" \
    "$(measured_row router4 "$GW_IP4" other)|$(measured_row router4 "$GW_IP4" ct)" \
    "$what, tunnel gone: the counter counts after STOPPED"
done
assert_eq "$BEFORE" "$(testbed_snapshot)" "host as before every run"

# The cleanup mode knows the table alone: it removes it and puts back
# route_localnet on the device the table records (one that outlives it).
ip tuntap add kept0 mode tun
sysctl -qw net.ipv4.conf.kept0.route_localnet=1
printf '%s\n' 'table inet zelmo-vpn-dns {' 'set route_localnet_raised {' 'type ifname' \
  'elements = { "kept0" }' '}' '}' | nft -f -
run_helper --cleanup
assert_eq "CLEANED 0 0" "$(tail -n 1 "$HELPER_OUT") $(nft list tables | grep -c zelmo-vpn-dns) $(sysctl -n \
  net.ipv4.conf.kept0.route_localnet)" "cleanup mode: table gone, route_localnet put back"
ip link delete kept0

# Refused values: one ERROR line of safe bytes, exit 2, the engine never loaded.
CONFIG="$TESTBED_TMP/refused.json"
routed_write_config "$CONFIG" zelmo_vpn-tun0
while IFS='|' read -r value error; do
  : > "$TESTBED_TMP/events"
  LVH_ENGINE_EVENT_LOG="$TESTBED_TMP/events" run_to_end --lib "$LVH_ENGINE" --config "$CONFIG" \
    --dns "$(printf '%b' "$value")"
  assert_eq "2|ERROR: $error|" "$STATUS|$(sed 1d <<< "$OUT")|$(cat "$TESTBED_TMP/events")" \
    "--dns '$value' refused"
done <<'VALUES'
|invalid --dns value: empty list
10.0.0.53,,fd53::53|invalid --dns value: item 2 is empty
dns.example|invalid --dns address 'dns.example': not an IP address
100.100.53.0/24|invalid --dns address '100.100.53.0/24': a prefix, not an address
1.1.1.1,1.1.1.2,1.1.1.3,1.1.1.4,1.1.1.5,1.1.1.6,1.1.1.7,1.1.1.8,1.1.1.9|invalid --dns address '1.1.1.9': more than 8 addresses
127.0.0.53|invalid --dns address '127.0.0.53': a loopback address, not a resolver beyond the tunnel
1.1.1.1;touch /tmp/x\n\033[2J|invalid --dns address '1.1.1.1?touch?/tmp/x???2J': not an IP address
VALUES
assert_eq "$BEFORE" "$(testbed_snapshot)" "refused values change nothing"
testbed_finish
