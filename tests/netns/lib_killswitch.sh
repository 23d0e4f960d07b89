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
