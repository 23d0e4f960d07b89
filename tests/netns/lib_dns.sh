# Real resolvers for the name lookup tests (sourced after lib_routed.sh;
# dns_setup after routed_setup). Each dnsmasq answers the one name
# LOOKUP_NAME with an address of its own, so an answer tells who answered:
#
# - the home router's resolver, on the router at GW_IP4 and GW_IP6;
# - the tunnel's resolver, in the VPN server's namespace at TUNNEL_DNS4 /
#   TUNNEL_DNS6, which only the tunnel reaches (nothing routes there);
# - a public resolver in the internet namespace at PUBLIC_DNS4;
# - a local stub on the host at STUB_DNS4 and ::1, forwarding to the
#   router's;
# - with dns_containers, for the container c1 behind the host's bridge: a
#   resolver in the container c2 on the same bridge, and one on the host's
#   bridge address, as the host runs one for its virtual machines.
#
# Lookups go through glibc, as programs make them, with a private
# /etc/resolv.conf (dns_use). The router counts the host's port-53
# packets of both families and protocols (router_lookups).

LOOKUP_NAME=probe.test
TUNNEL_DNS4=100.100.53.53
TUNNEL_DNS6=fd53::53
PUBLIC_DNS4=198.51.100.53
STUB_DNS4=127.0.0.53
ANSWER_ROUTER=10.53.0.1
ANSWER_TUNNEL=10.53.0.2
ANSWER_PUBLIC=10.53.0.3
ANSWER_NEIGHBOUR=10.53.0.4
ANSWER_BRIDGE=10.53.0.5

# dns_resolver PID|host ARGS...: a dnsmasq in PID's namespace (or the
# host's), without cache, hosts file or resolv.conf of its own.
dns_resolver() {
  local where=$1
  shift
  local run=(dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts
    --cache-size=0 --bind-interfaces --user=root --pid-file= "$@")
  if [ "$where" = host ]; then "${run[@]}" & else nsenter --net="/proc/$where/ns/net" "${run[@]}" & fi
}

dns_setup() {
  vpn_exec ip addr add "$TUNNEL_DNS4/32" dev lo
  vpn_exec ip addr add "$TUNNEL_DNS6/128" dev lo nodad
  inet_exec ip addr add "$PUBLIC_DNS4/32" dev lo
  dns_resolver "$GW_PID" --listen-address="$GW_IP4" --listen-address="$GW_IP6" \
    --host-record="$LOOKUP_NAME,$ANSWER_ROUTER"
  dns_resolver "$VPN_PID" --listen-address="$TUNNEL_DNS4" --listen-address="$TUNNEL_DNS6" \
    --host-record="$LOOKUP_NAME,$ANSWER_TUNNEL"
  dns_resolver "$INET_PID" --listen-address="$PUBLIC_DNS4" --host-record="$LOOKUP_NAME,$ANSWER_PUBLIC"
  dns_resolver host --listen-address="$STUB_DNS4" --listen-address=::1 --server="$GW_IP4"
  : > "$TESTBED_TMP/resolv.conf"
  mount --bind "$TESTBED_TMP/resolv.conf" /etc/resolv.conf
  local family protocol
  for family in iptables ip6tables; do
    for protocol in udp tcp; do
      gw_count_rule "lookups-$protocol" "$family" -p "$protocol" --dport 53
    done
  done
  # Ready once each answers through the router's resolver or its own.
  local resolver try
  for resolver in "$GW_IP4" "$GW_IP6" "$PUBLIC_DNS4" "$STUB_DNS4"; do
    dns_use "$resolver"
    for try in $(seq 100); do [ "$(lookup)" != none ] && break; sleep 0.1; done
  done
}

# dns_containers: the containers c1 and c2 (lib_routed.sh), a resolver in
# c2 (also published on the host's port 53) and one on the host's bridge
# address. The bridge's own packets pass
# the host's firewall hooks, as they do where a container runtime loaded
# br_netfilter.
dns_containers() {
  routed_container c1
  routed_container c2
  [ -d /proc/sys/net/bridge ] &&
    sysctl -qw net.bridge.bridge-nf-call-iptables=1 net.bridge.bridge-nf-call-ip6tables=1
  dns_resolver "${CT_PID[c2]}" --listen-address="${CT_IP4[c2]}" --listen-address="${CT_IP6[c2]}" \
    --host-record="$LOOKUP_NAME,$ANSWER_NEIGHBOUR"
  # c2's resolver published on the host's port 53 for the LAN (IPv6).
  ip6tables -t nat -A PREROUTING -i eth0 -p udp --dport 53 -j DNAT \
    --to-destination "[${CT_IP6[c2]}]:53"
  dns_resolver host --listen-address="$CT_BRIDGE_IP4" --host-record="$LOOKUP_NAME,$ANSWER_BRIDGE"
  local resolver try
  for resolver in "${CT_IP4[c2]}" "$CT_BRIDGE_IP4"; do
    dns_use "$resolver"
    for try in $(seq 100); do [ "$(lookup_in_ct c1)" != none ] && break; sleep 0.1; done
  done
}

# dns_use [--timeout S] NAMESERVER...: the host's resolver configuration.
dns_use() {
  local timeout=1
  [ "$1" = --timeout ] && { timeout=$2; shift 2; }
  { printf 'nameserver %s\n' "$@"; echo "options timeout:$timeout attempts:1"; } > /etc/resolv.conf
}

# lookup [tcp]: the address the host's resolver gave for LOOKUP_NAME, or
# "none"; lookup_as_app NAME [tcp]: the same from a program in the
# app-routing group (run_as_app).
lookup() {
  local answer
  answer=$(RES_OPTIONS=${1:+use-vc} getent ahostsv4 "$LOOKUP_NAME" | awk 'NR == 1 { print $1 }')
  echo "${answer:-none}"
}
lookup_as_app() {
  local answer
  answer=$(RES_OPTIONS=${2:+use-vc} run_as_app "$1" getent ahostsv4 "$LOOKUP_NAME" |
    awk 'NR == 1 { print $1 }')
  echo "${answer:-none}"
}

# lookup_in_ct NAME [tcp]: the same from the container NAME (which shares
# the host's /etc/resolv.conf).
lookup_in_ct() {
  local answer
  answer=$(RES_OPTIONS=${2:+use-vc} ct_exec "$1" getent ahostsv4 "$LOOKUP_NAME" |
    awk 'NR == 1 { print $1 }')
  echo "${answer:-none}"
}

# The port-53 packets of the host, its own and those it forwards, that the
# router has seen since router_lookups_reset.
router_lookups() {
  local total=0 family protocol
  for family in iptables ip6tables; do
    for protocol in udp tcp; do total=$((total + $(gw_count "lookups-$protocol" "$family"))); done
  done
  echo "$total"
}
router_lookups_reset() { gw_reset_counts; }

# query_from_port PORT SERVER: one query for LOOKUP_NAME sent from UDP
# source port PORT, as a resolver that reuses its port sends it; prints the
# answer's address or "none".
query_from_port() {
  local answer
  answer=$(printf '\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05probe\x04test\x00\x00\x01\x00\x01' |
    timeout 3 socat -t 2 - "UDP:$2:53,sourceport=$1,reuseaddr" | od -An -tu1 -v | tr -s ' \n' ' ' |
    awk '{ if (NF >= 4) printf "%s.%s.%s.%s", $(NF-3), $(NF-2), $(NF-1), $NF }')
  echo "${answer:-none}"
}
