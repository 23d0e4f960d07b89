# Shared helpers of the kill switch namespace tests (sourced after testbed.sh).

KS_DRIVER="$LVH_BUILD_DIR/tools/kill_switch_driver/kill_switch_driver"
KS_CHAIN=ZELMO_KILLSWITCH
KS_GUARD=zelmo-vpn-killswitch

# ks_chain TOOL: the chain's rules as the tool lists them, or "absent".
ks_chain() {
  "$1" -S "$KS_CHAIN" 2>/dev/null || echo absent
}

# ks_hooks TOOL: the OUTPUT rules that jump to the chain, with their position.
ks_hooks() {
  "$1" -S OUTPUT 2>/dev/null | grep -v '^-P ' | grep -n -- "-j $KS_CHAIN\$"
}

# ks_plant_stale_chain TOOL: a chain of the owned name with a foreign rule,
# hooked into OUTPUT, as an earlier crashed run could have left it.
ks_plant_stale_chain() {
  "$1" -N "$KS_CHAIN"
  "$1" -A "$KS_CHAIN" -o stale0 -j RETURN
  "$1" -I OUTPUT 1 -j "$KS_CHAIN"
}

# ks_driver ARGS...: runs the driver under the command recorder; its output
# is in KS_OUT, its status in KS_STATUS, the commands in KS_RECORD.
ks_driver() {
  KS_RECORD="$TESTBED_TMP/ks.record.$RANDOM"
  : > "$KS_RECORD"
  KS_OUT=$(LVH_RECORD_FILE="$KS_RECORD" LD_PRELOAD="$LVH_RECORDER" "$KS_DRIVER" "$@")
  KS_STATUS=$?
}

# ks_write_config TUN ENDPOINT: an engine configuration with a TUN inbound
# and one server; prints its path.
ks_write_config() {
  local path="$TESTBED_TMP/config.$RANDOM.json"
  cat > "$path" <<JSON
{
  "inbounds": [{"protocol": "tun", "settings": {"name": "$1", "mtu": 1500}}],
  "outbounds": [{"protocol": "vless", "settings": {"vnext": [{"address": "$2", "port": 443}]}}]
}
JSON
  echo "$path"
}

# The nft-based tools create a table on its first use and keep it, empty,
# after its last rule is gone. Creating the tables a run touches before the
# baseline snapshot keeps that artefact out of the comparison.
ks_prime_firewall_tables() {
  local tool table
  for tool in iptables ip6tables; do
    for table in filter mangle; do
      "$tool" -t "$table" -N LVH_PRIME && "$tool" -t "$table" -X LVH_PRIME
    done
  done
}

# ks_path_without_nft [STATUS]: a PATH on which nft is missing, or, with
# STATUS, an nft that only exits with it; every other tool is the system's.
ks_path_without_nft() {
  local dir="$TESTBED_TMP/no-nft.${1:-missing}" tool
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir"
    for tool in /usr/sbin/*; do [ "${tool##*/}" = nft ] || ln -s "$tool" "$dir/"; done
    [ -n "${1:-}" ] && printf '#!/bin/sh\nexit %s\n' "$1" > "$dir/nft" && chmod +x "$dir/nft"
  fi
  echo "$dir:/usr/bin"
}

# --- Shared by the tests of what passes (the routed topology; lib_routed.sh).

# ks_check_column COLUMN NAME TABLE: runs each check of TABLE, lines of
# "check | cell | cell ...", whose cell in COLUMN (1: the first) is not
# "-", and asserts that it prints that cell; NAME names the column.
ks_check_column() {
  local column=$1 name=$2 check cells want
  while IFS='|' read -r check cells; do
    check=$(echo $check)
    [ -n "$check" ] || continue
    want=$(cut -d'|' -f"$column" <<< "$cells" | sed -E 's/^ +| +$//g')
    [ "$want" = - ] || assert_eq "$want" "$($check)" "$name: $check"
  done <<< "$3"
}

# ks_upkeep_servers: a DHCP and a DHCPv6 server on the home router's LAN
# side, each answering a request from the client's port, and a count of
# the router solicitations that reach the router.
ks_upkeep_servers() {
  nsenter --net="/proc/$GW_PID/ns/net" socat UDP4-RECVFROM:67,fork SYSTEM:'read -r request; echo ack' &
  nsenter --net="/proc/$GW_PID/ns/net" socat UDP6-RECVFROM:547,fork SYSTEM:'read -r request; echo ack6' &
  gw_count_rule rs ip6tables -p ipv6-icmp --icmpv6-type router-solicitation
}
# ks_upkeep: the host's own upkeep, each exchange with the router's link
# address forgotten first, so ARP and neighbour discovery must work before
# it: a unicast lease renewal, a DHCPv6 exchange, then the router
# solicitations that reached the router of one sent.
ks_upkeep() {
  local dhcp dhcp6
  ip neigh flush dev eth0
  ip -6 neigh flush dev eth0
  dhcp=$(echo renew | socat -t 3 -T 3 - "UDP4:$GW_IP4:67,sourceport=68,readbytes=4" 2>&1)
  dhcp6=$(echo renew | socat -t 3 -T 3 - "UDP6:[$GW_IP6]:547,sourceport=546,readbytes=5" 2>&1)
  gw_reset_counts
  printf '\x85\0\0\0\0\0\0\0' | socat -u - "IP6-SENDTO:[$GW_IP6]:58" 2>/dev/null
  echo "$dhcp $dhcp6 $(gw_count rs ip6tables)"
}
