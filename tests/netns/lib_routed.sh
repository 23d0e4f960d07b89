# The routed topology for conversation tests (sourced after testbed.sh,
# inside the test bed). routed_setup builds, beside the host:
#
#   host eth0 --- gw0 router wan0 --- isp0 internet dc0 --- wan0 vpn
#
# - router: the test bed's gateway made a home router. It forwards, and
#   masquerades whatever leaves towards the internet, in both families. It
#   has no route to any tunnel subnet: the answer to a packet that left the
#   host with a tunnel address as its source goes towards the internet and
#   is lost there.
# - internet: forwards between its two links and holds the servers on its
#   loopback (SERVER4, SERVER6 and BYPASS_HOST4, inside BYPASS_PREFIX4).
# - vpn: the VPN server at ENDPOINT4 / ENDPOINT6 (the name vpn.test). The
#   tunnel server (tools/tunnel_server) on UDP TUNNEL_PORT puts the stand-in
#   engine's packets into its own TUN device; the namespace forwards them
#   with a masquerade of its own, so a server sees the endpoint's address as
#   the source of tunnel traffic, and sends every answer back into the tunnel.
#
# A conversation server (tools/conversation) listens on CONV_PORT in the
# internet namespace (all its addresses) and in the vpn namespace (the
# endpoint's addresses); the kernels answer pings.
#
# Further down: a second router for the host, an uplink without a gateway,
# containers, a second VPN server (routed_second_vpn), a leak stream with
# counters at the router and beyond the tunnel (stream_setup), and the
# stand-in engine driven without the helper (engine_driver_start).

source "$(dirname "${BASH_SOURCE[0]}")/lib_lifecycle.sh"

CONVERSATION="$LVH_BUILD_DIR/tools/conversation/conversation"
TUNNEL_SERVER="$LVH_BUILD_DIR/tools/tunnel_server/tunnel_server"

# Plain addresses; the prefix lengths are where they are assigned.
ROUTER_OUT4=198.51.100.1
ROUTER_OUT6=2001:db8:ff::1
INET_ROUTER_SIDE4=198.51.100.2
INET_ROUTER_SIDE6=2001:db8:ff::2
INET_VPN_SIDE4=203.0.113.1
INET_VPN_SIDE6=2001:db8:5::1
ENDPOINT4=203.0.113.7
ENDPOINT6=2001:db8:5::7
ENDPOINT_NAME=vpn.test
SERVER4=198.51.100.80
SERVER6=2001:db8:99::80
BYPASS_PREFIX4=10.20.0.0/16
BYPASS_HOST4=10.20.0.5
CONV_PORT=7000
TUNNEL_PORT=443
APP_ROUTING_CGROUP=/zelmo-vpn-app-routing

inet_exec() { testbed_ns_exec "$INET_PID" "$@"; }
vpn_exec() { testbed_ns_exec "$VPN_PID" "$@"; }

routed_setup() {
  testbed_setup --ipv6
  testbed_spawn_netns INET_PID
  testbed_spawn_netns VPN_PID

  gw_exec ip link add wan0 type veth peer name isp0 netns "$INET_PID"
  routed_link_end "$GW_PID" wan0 "$ROUTER_OUT4/30" "$ROUTER_OUT6/64"
  routed_link_end "$INET_PID" isp0 "$INET_ROUTER_SIDE4/30" "$INET_ROUTER_SIDE6/64"

  inet_exec ip addr add "$SERVER4/32" dev lo
  inet_exec ip addr add "$BYPASS_HOST4/32" dev lo
  inet_exec ip addr add "$SERVER6/128" dev lo nodad
  inet_exec sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
  routed_nat_router "$GW_PID" wan0 "$INET_ROUTER_SIDE4" "$INET_ROUTER_SIDE6"
  routed_vpn_server "$VPN_PID" dc0 "$INET_VPN_SIDE4" "$INET_VPN_SIDE6" "$ENDPOINT4" "$ENDPOINT6" ""

  routed_start_server "$INET_PID" conversation.internet "$CONVERSATION" serve "$CONV_PORT"
  testbed_hosts "$ENDPOINT4 $ENDPOINT_NAME" "$ENDPOINT6 $ENDPOINT_NAME"
}

# routed_vpn_server PID LINK SIDE4 SIDE6 ENDPOINT4 ENDPOINT6 SUFFIX: a VPN
# server in PID's namespace, at the endpoint addresses on its wan0, behind
# the internet's LINK (SIDE4 / SIDE6 there), with the tunnel server and a
# conversation server ($TESTBED_TMP/tunnel_serverSUFFIX.out and
# conversation.vpnSUFFIX.out).
routed_vpn_server() {
  local holder=$1 side4=$3 side6=$4 suffix=$7 family
  inet_exec ip link add "$2" type veth peer name wan0 netns "$holder"
  routed_link_end "$INET_PID" "$2" "$side4/24" "$side6/64"
  routed_link_end "$holder" wan0 "$5/24" "$6/64"
  routed_nat_router "$holder" wan0 "$side4" "$side6"

  # The tunnel brings packets with whatever source the host chose (its TUN
  # address, or its physical one for traffic a mark moved into the tunnel):
  # accept them all, and route every answer arriving from the internet for
  # an address not its own back into the tunnel.
  testbed_ns_exec "$holder" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
  routed_start_server "$holder" "tunnel_server$suffix" "$TUNNEL_SERVER" --tun tunsrv0 --port "$TUNNEL_PORT"
  for family in -4 -6; do
    testbed_ns_exec "$holder" ip "$family" rule add iif wan0 lookup 100 priority 100
    testbed_ns_exec "$holder" ip "$family" route add default dev tunsrv0 table 100
  done
  routed_start_server "$holder" "conversation.vpn$suffix" "$CONVERSATION" serve "$CONV_PORT"
}

# routed_link_end PID DEVICE ADDRESS4/N ADDRESS6/N: addresses the device and
# brings it up.
routed_link_end() {
  testbed_ns_exec "$1" ip addr add "$3" dev "$2"
  testbed_ns_exec "$1" ip addr add "$4" dev "$2" nodad
  testbed_ns_exec "$1" ip link set "$2" up
}

# routed_nat_router PID OUT GATEWAY4 GATEWAY6: the namespace forwards, has
# its default routes via the gateways on OUT, and masquerades all that
# leaves through OUT.
routed_nat_router() {
  testbed_ns_exec "$1" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
  testbed_ns_exec "$1" ip -4 route add default via "$3" dev "$2"
  testbed_ns_exec "$1" ip -6 route add default via "$4" dev "$2"
  testbed_ns_exec "$1" iptables -t nat -A POSTROUTING -o "$2" -j MASQUERADE
  testbed_ns_exec "$1" ip6tables -t nat -A POSTROUTING -o "$2" -j MASQUERADE
}

# routed_start_server PID NAME CMD...: runs a server in the background in
# PID's namespace and waits until it printed "ready"; its output is in
# $TESTBED_TMP/NAME.out. nsenter itself becomes the server, so the job that
# testbed_cleanup signals is the server, not a shell around it.
routed_start_server() {
  local holder=$1 out="$TESTBED_TMP/$2.out"
  shift 2
  nsenter --net="/proc/$holder/ns/net" "$@" > "$out" 2>&1 &
  wait_for_file_line "$out" ready && return 0
  echo "routed_setup: $* did not start: $(cat "$out")" >&2
  exit 1
}

# routed_rp_filter MODE: reverse-path filtering of the host, 0 (off),
# 1 (strict) or 2 (loose). The default is set too, so a TUN device created
# afterwards starts with the same mode.
routed_rp_filter() {
  sysctl -qw "net.ipv4.conf.all.rp_filter=$1" "net.ipv4.conf.default.rp_filter=$1" \
    "net.ipv4.conf.eth0.rp_filter=$1"
}

# routed_write_config FILE TUN: an engine configuration with a TUN inbound
# named TUN and the one server vpn.test, port 443.
routed_write_config() { write_engine_config "$1" "$2" "$ENDPOINT_NAME"; }

# routed_start_helper ARGS...: the helper on the stand-in engine with a
# routed configuration (TUN device zelmo_vpn-tun0) and ARGS; true once it
# is READY. routed_start_helper_on CONFIG ARGS... does the same with the
# configuration CONFIG.
routed_start_helper() {
  ROUTED_CONFIG="$TESTBED_TMP/routed.config.json"
  routed_write_config "$ROUTED_CONFIG" zelmo_vpn-tun0
  routed_start_helper_on "$ROUTED_CONFIG" "$@"
}
routed_start_helper_on() {
  local config=$1
  shift
  start_helper --lib "$LVH_ENGINE" --config "$config" --dat-dir "$TESTBED_TMP" "$@"
  wait_for_line READY
}

# conv ADDRESS: one conversation from the host to ADDRESS, port CONV_PORT.
# Prints the address the server saw and succeeds when it completed within
# 3 s; otherwise prints a short reason (refused, timeout, unreachable, ...)
# and fails.
conv() { "$CONVERSATION" ask "$1" "$CONV_PORT"; }

# conv_as_app NAME ADDRESS: the same from a program whose command name is
# NAME (unique per test), which first waits, 10 s at most, until it is in
# the app-routing group (it prints "not moved" and fails otherwise), so its
# socket is created there.
conv_as_app() {
  local app="$TESTBED_TMP/apps/$1"
  [ -x "$app" ] || { mkdir -p "${app%/*}" && cp "$CONVERSATION" "$app"; }
  "$app" ask "$2" "$CONV_PORT" --wait-cgroup "$APP_ROUTING_CGROUP"
}

# seen ADDRESS: where the conversation led, the address the server saw or
# the reason it failed, for a table's cells; seen_by_app ADDRESS: the same
# from the test's selected program, named $APP.
seen() { conv "$1" 2>&1 | tail -n 1; }
seen_by_app() { conv_as_app "$APP" "$1" 2>&1 | tail -n 1; }

# ping_ok ADDRESS: an echo reply came back within 2 s (either family).
ping_ok() { ping -c 1 -W 2 "$1" > /dev/null 2>&1; }

# --- A second network for the host (the watch while READY).
#
#   host eth1 --- lan0 router2 wan0 --- isp1 internet
#
# router2 masquerades as ROUTER2_OUT4 / ROUTER2_OUT6, so a server tells by
# the address it saw which router a conversation took. eth1 is down until
# a scenario joins that network.
HOST2_IP4=192.0.3.2
ROUTER2_IP4=192.0.3.1
HOST2_IP6=2001:db8:3::2
ROUTER2_IP6=2001:db8:3::1
ROUTER2_OUT4=198.51.101.1
ROUTER2_OUT6=2001:db8:fe::1

router2_exec() { testbed_ns_exec "$ROUTER2_PID" "$@"; }

routed_second_router() {
  testbed_spawn_netns ROUTER2_PID
  ip link add eth1 type veth peer name lan0 netns "$ROUTER2_PID"
  router2_exec ip addr add "$ROUTER2_IP4/24" dev lan0
  router2_exec ip addr add "$ROUTER2_IP6/64" dev lan0 nodad
  router2_exec ip link set lan0 up
  router2_exec ip link add wan0 type veth peer name isp1 netns "$INET_PID"
  routed_link_end "$ROUTER2_PID" wan0 "$ROUTER2_OUT4/30" "$ROUTER2_OUT6/64"
  routed_link_end "$INET_PID" isp1 198.51.101.2/30 2001:db8:fe::2/64
  routed_nat_router "$ROUTER2_PID" wan0 198.51.101.2 2001:db8:fe::2
  sysctl -qw net.ipv4.conf.eth1.rp_filter=2
}

# router_count_rule NAME TOOL MATCH... / router_count NAME TOOL: like
# gw_count_rule and gw_count, at both routers' host sides; the count is
# "first router/second router". router_reset_counts zeroes them.
router_count_rule() {
  local name=$1 tool=$2
  shift 2
  gw_count_rule "$name" "$tool" "$@"
  router2_exec "$tool" -t raw -A PREROUTING -i lan0 "$@" -m comment --comment "$name"
}
router_count() {
  echo "$(gw_count "$1" "$2")/$(router2_exec "$2" -t raw -nvxL PREROUTING |
    awk -v name="/* $1 */" 'index($0, name) { print $1 }')"
}
router_reset_counts() {
  gw_reset_counts
  router2_exec iptables -t raw -Z PREROUTING
  router2_exec ip6tables -t raw -Z PREROUTING
}

# join_second_network [METRIC]: the host's eth1 joins router2's network,
# with default routes of both families via router2 (with METRIC, beside the
# first network's); leave_second_network undoes it. second_network_link
# joins it without default routes.
second_network_link() {
  ip addr add "$HOST2_IP4/24" dev eth1
  ip addr add "$HOST2_IP6/64" dev eth1 nodad
  ip link set eth1 up
}
join_second_network() {
  second_network_link
  ip -4 route add default via "$ROUTER2_IP4" dev eth1 ${1:+metric $1}
  ip -6 route add default via "$ROUTER2_IP6" dev eth1 ${1:+metric $1}
}
leave_second_network() {
  ip link set eth1 down
  ip addr flush dev eth1
}

# first_network_down / first_network_up: eth0 goes down (the kernel drops
# every route through it, and its IPv6 address) and comes back with the test
# bed's addresses and default routes, as a network manager brings them back
# after a resume (testbed_flap does both in one burst).
first_network_down() { ip link set eth0 down; }
first_network_up() {
  ip link set eth0 up
  ip addr replace "$HOST_IP6/64" dev eth0 nodad
  ip -4 route replace default via "$GW_IP4" dev eth0
  ip -6 route replace default via "$GW_IP6" dev eth0
}

# multipath_default: the default route of each family over both routers at
# once (eth0's next hop first), in one batch; needs second_network_link.
multipath_default() {
  printf '%s\n' "route replace default nexthop via $GW_IP4 dev eth0 nexthop via $ROUTER2_IP4 dev eth1" \
    "route replace ::/0 nexthop via $GW_IP6 dev eth0 nexthop via $ROUTER2_IP6 dev eth1" | ip -batch -
}

# run_as_app NAME CMD...: runs CMD from a script whose command name is NAME,
# once the script is in the app-routing group (10 s at most; it fails
# otherwise), so every socket CMD opens, ping's included, is the group's.
# app_launcher NAME makes that script and prints its path.
run_as_app() {
  local app
  app=$(app_launcher "$1")
  shift
  "$app" "$@"
}
app_launcher() {
  local app="$TESTBED_TMP/apps/$1"
  if [ ! -x "$app" ]; then
    mkdir -p "${app%/*}"
    printf '%s\n' '#!/bin/bash' 'for try in $(seq 200); do' \
      "  grep -qx '0::$APP_ROUTING_CGROUP' /proc/\$\$/cgroup && exec \"\$@\"" \
      '  sleep 0.05' 'done' 'exit 1' > "$app"
    chmod +x "$app"
  fi
  echo "$app"
}

# udp_probe ADDRESS PORT [SOURCE_PORT]: one datagram, errors ignored.
udp_probe() {
  local address=$1
  [[ $address == *:* ]] && address="[$address]"
  echo probe | socat -u - "UDP-SENDTO:$address:$2${3:+,sourceport=$3}" 2>/dev/null
  return 0
}

# --- An uplink without a gateway (PPP, mobile broadband, point-to-point).
#
#   host ppp0 --- pp0 router
#
# The host has a /32 and a /128 of its own on ppp0; the home router has
# the peer's /32 and routes the host's addresses back to pp0. It answers
# for every IPv4 address it routes elsewhere (proxy ARP) and for the IPv6
# addresses in PPP_PROXY6 (proxy NDP entries: the test bed's servers and
# the endpoint), so on-link routes without a gateway reach them.
# routed_ppp_uplink builds the link; ppp_uplink_default then moves the
# default routes of both families onto it, "default dev ppp0" without
# "via", in one batch.
PPP_HOST4=100.64.0.2
PPP_PEER4=100.64.0.1
PPP_HOST6=2001:db8:64::2
PPP_PROXY6=("$SERVER6" "$ENDPOINT6")

routed_ppp_uplink() {
  local address
  ip link add ppp0 type veth peer name pp0 netns "$GW_PID"
  sysctl -qw net.ipv6.conf.ppp0.accept_dad=0
  ip addr add "$PPP_HOST4/32" dev ppp0
  ip addr add "$PPP_HOST6/128" dev ppp0 nodad
  ip link set ppp0 up
  gw_exec sysctl -qw net.ipv6.conf.pp0.accept_dad=0 net.ipv4.conf.pp0.proxy_arp=1 \
    net.ipv6.conf.pp0.proxy_ndp=1 net.ipv4.neigh.pp0.proxy_delay=0 net.ipv6.neigh.pp0.proxy_delay=0
  # The peer's own address is what the router's ARP requests come from:
  # strict reverse-path filtering on the host accepts them only from an
  # address it routes to ppp0.
  gw_exec ip addr add "$PPP_PEER4/32" dev pp0
  gw_exec ip link set pp0 up
  gw_exec ip -4 route add "$PPP_HOST4/32" dev pp0
  gw_exec ip -6 route add "$PPP_HOST6/128" dev pp0
  for address in "${PPP_PROXY6[@]}"; do gw_exec ip -6 neigh add proxy "$address" dev pp0; done
}
ppp_uplink_default() {
  printf '%s\n' "route replace default dev ppp0" "route replace ::/0 dev ppp0" | ip -batch -
}

# --- Containers behind a bridge of the host, as container runtimes set them
# up: the host's bridge ctbr0 (CT_BRIDGE_IP4, CT_BRIDGE_IP6), the host
# forwarding, and masquerading whatever a container sends anywhere but the
# bridge, in both families.
#
#   routed_container NAME      a container: a namespace on the bridge with
#                              default routes via the host; its addresses
#                              are CT_IP4[NAME] and CT_IP6[NAME]
#   ct_exec NAME CMD...        runs CMD in the container's namespace
#   ct_conv NAME ADDRESS       a conversation from the container (as conv)
#   routed_container_publish NAME PORT
#                              the host forwards PORT of its eth0 to the
#                              container's CONV_PORT (DNAT), both families
CT_BRIDGE=ctbr0
CT_BRIDGE_IP4=172.30.0.1
CT_BRIDGE_IP6=fd00:30::1
declare -gA CT_PID=() CT_IP4=() CT_IP6=()

routed_container() {
  local name=$1 host_end="ct-$1" index
  if ! ip link show "$CT_BRIDGE" > /dev/null 2>&1; then
    ip link add "$CT_BRIDGE" type bridge
    ip addr add "$CT_BRIDGE_IP4/24" dev "$CT_BRIDGE"
    ip addr add "$CT_BRIDGE_IP6/64" dev "$CT_BRIDGE" nodad
    ip link set "$CT_BRIDGE" up
    sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
    iptables -t nat -A POSTROUTING -s 172.30.0.0/24 ! -o "$CT_BRIDGE" -j MASQUERADE
    ip6tables -t nat -A POSTROUTING -s fd00:30::/64 ! -o "$CT_BRIDGE" -j MASQUERADE
  fi
  index=$((${#CT_PID[@]} + 2))
  testbed_spawn_netns "CT_PID[$name]"
  CT_IP4[$name]=172.30.0.$index
  CT_IP6[$name]=fd00:30::$index
  ip link add "$host_end" type veth peer name eth0 netns "${CT_PID[$name]}"
  ip link set "$host_end" master "$CT_BRIDGE" up
  ct_exec "$name" ip addr add "${CT_IP4[$name]}/24" dev eth0
  ct_exec "$name" ip addr add "${CT_IP6[$name]}/64" dev eth0 nodad
  ct_exec "$name" ip link set eth0 up
  ct_exec "$name" ip -4 route add default via "$CT_BRIDGE_IP4"
  ct_exec "$name" ip -6 route add default via "$CT_BRIDGE_IP6"
  routed_start_server "${CT_PID[$name]}" "conversation.$name" "$CONVERSATION" serve "$CONV_PORT"
}

ct_exec() {
  local name=$1
  shift
  testbed_ns_exec "${CT_PID[$name]}" "$@"
}

ct_conv() { ct_exec "$1" "$CONVERSATION" ask "$2" "$CONV_PORT"; }

routed_container_publish() {
  iptables -t nat -A PREROUTING -i eth0 -p tcp --dport "$2" -j DNAT \
    --to-destination "${CT_IP4[$1]}:$CONV_PORT"
  ip6tables -t nat -A PREROUTING -i eth0 -p tcp --dport "$2" -j DNAT \
    --to-destination "[${CT_IP6[$1]}]:$CONV_PORT"
}

# --- The host's uplink as a bridge, as on a host of virtual machines: br0
# enslaves eth0 and takes over its addresses and default routes; the
# machines vm1 and vm2 sit on br0, on the home network itself, vm1 with the
# router as its gateway (bridged straight onto the uplink), vm2 with the
# host (routed by the host). The bridge's frames pass the host's IP hooks,
# as where a container engine loaded br_netfilter, and the host sends no
# redirects, so vm2 keeps its gateway. A conversation server runs on the
# router and on each machine.
#
#   routed_bridged_uplink      builds it; the machines' addresses are
#                              VM_IP4[NAME] and VM_IP6[NAME]
#   vm_conv NAME ADDRESS       a conversation from a machine (as conv)
declare -gA VM_PID=() VM_IP4=() VM_IP6=()

routed_bridged_uplink() {
  local name gateway index=11
  ip link add br0 type bridge
  # Its own link address stays eth0's, whatever ports come later.
  ip link set br0 address "$(cat /sys/class/net/eth0/address)"
  ip -6 route del default via "$GW_IP6" dev eth0
  ip addr flush dev eth0
  ip link set eth0 master br0
  ip addr add "$HOST_IP4/24" dev br0
  ip addr add "$HOST_IP6/64" dev br0 nodad
  ip link set br0 up
  ip -4 route replace default via "$GW_IP4" dev br0
  ip -6 route replace default via "$GW_IP6" dev br0
  sysctl -qw net.bridge.bridge-nf-call-iptables=1 net.bridge.bridge-nf-call-ip6tables=1 \
    net.ipv4.ip_forward=1 net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.br0.send_redirects=0
  for name in vm1 vm2; do
    testbed_spawn_netns "VM_PID[$name]"
    VM_IP4[$name]=192.0.2.$index
    VM_IP6[$name]=2001:db8:1::$index
    ip link add "port-$name" type veth peer name eth0 netns "${VM_PID[$name]}"
    ip link set "port-$name" master br0 up
    vm_exec "$name" ip addr add "${VM_IP4[$name]}/24" dev eth0
    vm_exec "$name" ip addr add "${VM_IP6[$name]}/64" dev eth0 nodad
    vm_exec "$name" ip link set eth0 up
    gateway=$GW_IP4
    [ "$name" = vm2 ] && gateway=$HOST_IP4
    vm_exec "$name" ip -4 route add default via "$gateway"
    routed_start_server "${VM_PID[$name]}" "conversation.$name" "$CONVERSATION" serve "$CONV_PORT"
    index=$((index + 1))
  done
  routed_start_server "$GW_PID" conversation.router "$CONVERSATION" serve "$CONV_PORT"
}

vm_exec() {
  local name=$1
  shift
  testbed_ns_exec "${VM_PID[$name]}" "$@"
}

vm_conv() { vm_exec "$1" "$CONVERSATION" ask "$2" "$CONV_PORT"; }

# --- A second VPN server.
#
#   internet dc1 --- wan0 vpn2
#
# routed_second_vpn builds vpn2 like vpn, at ENDPOINT2_4 / ENDPOINT2_6 (the
# name vpn2.test), with its own tunnel server, conversation server and
# masquerade: a server on the internet tells by the source it saw which VPN
# server a conversation came through. routed_write_second_config FILE [TUN]
# writes an engine configuration naming it (TUN device zelmo_vpn-tun0
# unless TUN is given).
ENDPOINT2_4=198.18.0.7
ENDPOINT2_6=2001:db8:6::7
ENDPOINT2_NAME=vpn2.test

vpn2_exec() { testbed_ns_exec "$VPN2_PID" "$@"; }

routed_second_vpn() {
  testbed_spawn_netns VPN2_PID
  routed_vpn_server "$VPN2_PID" dc1 198.18.0.1 2001:db8:6::1 "$ENDPOINT2_4" "$ENDPOINT2_6" 2
  # Appended in place: /etc/hosts is a bind mount of this very file.
  printf '%s\n' "$ENDPOINT2_4 $ENDPOINT2_NAME" "$ENDPOINT2_6 $ENDPOINT2_NAME" >> "$TESTBED_TMP/hosts"
}
routed_write_second_config() { write_engine_config "$1" "${2:-zelmo_vpn-tun0}" "$ENDPOINT2_NAME"; }

# --- A leak stream (tools/leak_stream) and where it arrived.
#
# stream_setup: a conversation server on TCP STREAM_PORT of the internet's
# servers (UDP to that port is dropped there, unanswered), and the counters
# of the stream's datagrams and SYNs to SERVER4 / SERVER6, port STREAM_PORT,
# by kind udp4, udp6, syn4 or syn6:
#
#   outside_count KIND      arrived at the home router: left the host outside
#                           the tunnel (the tunnel's own transport goes to the
#                           endpoint's UDP TUNNEL_PORT and is not counted)
#   through_count KIND [2]  arrived at the internet's servers from the first
#                           (or, with 2, the second) VPN server's address:
#                           went through that tunnel
#   outside_counts / through_counts [2]
#                           all four, as "udp4/udp6/syn4/syn6"
#   outside_reset / through_reset
#                           zero them (the counters live in chains of their
#                           own, so no other count changes)
#
# stream_start [WHERE] starts the stream and waits until it runs: 100
# datagrams a second per family and a TCP attempt every 100 ms per family.
# WHERE is host (the default), app:NAME (a program named NAME, once the
# app-routing group holds it, as run_as_app) or ct:NAME (container NAME).
# stream_stop [WHERE] ends it and prints its own counts line
# ("udp4_sent=N udp4_errors=N ... tcp6_connected=N tcp6_failed=N");
# stream_figure LINE KEY picks one value of such a line.
LEAK_STREAM="$LVH_BUILD_DIR/tools/leak_stream/leak_stream"
STREAM_PORT=7100
declare -gA STREAM_PID=()

stream_setup() {
  routed_start_server "$INET_PID" conversation.stream "$CONVERSATION" serve "$STREAM_PORT"
  inet_exec iptables -A INPUT -p udp --dport "$STREAM_PORT" -j DROP
  inet_exec ip6tables -A INPUT -p udp --dport "$STREAM_PORT" -j DROP
  stream_chain "$GW_PID" STREAM_OUTSIDE
  stream_count_rules "$GW_PID" STREAM_OUTSIDE outside "" ""
  stream_chain "$INET_PID" STREAM_THROUGH
  stream_count_rules "$INET_PID" STREAM_THROUGH vpn "$ENDPOINT4" "$ENDPOINT6"
  stream_count_rules "$INET_PID" STREAM_THROUGH vpn2 "$ENDPOINT2_4" "$ENDPOINT2_6"
}

# stream_chain PID CHAIN: a raw-table chain of both families in PID's
# namespace that sees every arriving packet.
stream_chain() {
  local tool
  for tool in iptables ip6tables; do
    testbed_ns_exec "$1" "$tool" -t raw -N "$2"
    testbed_ns_exec "$1" "$tool" -t raw -A PREROUTING -j "$2"
  done
}

# stream_count_rules PID CHAIN NAME SOURCE4 SOURCE6: counters NAME-udp4,
# NAME-syn4, NAME-udp6, NAME-syn6 in CHAIN for the stream's packets (from
# SOURCE4 / SOURCE6 only, where given).
stream_count_rules() {
  local family tool server source
  for family in 4 6; do
    if [ "$family" = 4 ]; then tool=iptables server=$SERVER4 source=$4; else tool=ip6tables server=$SERVER6 source=$5; fi
    testbed_ns_exec "$1" "$tool" -t raw -A "$2" ${source:+-s "$source"} -d "$server" \
      -p udp --dport "$STREAM_PORT" -m comment --comment "$3-udp$family"
    testbed_ns_exec "$1" "$tool" -t raw -A "$2" ${source:+-s "$source"} -d "$server" \
      -p tcp --syn --dport "$STREAM_PORT" -m comment --comment "$3-syn$family"
  done
}

# stream_count PID CHAIN NAME-KIND: the counter's packets.
stream_count() {
  local tool=iptables
  [ "${3: -1}" = 6 ] && tool=ip6tables
  testbed_ns_exec "$1" "$tool" -t raw -nvxL "$2" | awk -v name="/* $3 */" 'index($0, name) { print $1 }'
}
stream_zero() {
  testbed_ns_exec "$1" iptables -t raw -Z "$2"
  testbed_ns_exec "$1" ip6tables -t raw -Z "$2"
}

outside_count() { stream_count "$GW_PID" STREAM_OUTSIDE "outside-$1"; }
through_count() { stream_count "$INET_PID" STREAM_THROUGH "vpn${2:-}-$1"; }
outside_counts() { echo "$(outside_count udp4)/$(outside_count udp6)/$(outside_count syn4)/$(outside_count syn6)"; }
through_counts() {
  echo "$(through_count udp4 "$@")/$(through_count udp6 "$@")/$(through_count syn4 "$@")/$(through_count syn6 "$@")"
}
outside_reset() { stream_zero "$GW_PID" STREAM_OUTSIDE; }
through_reset() { stream_zero "$INET_PID" STREAM_THROUGH; }

stream_start() {
  local where=${1:-host} launch=()
  case "$where" in
    app:*) launch=("$(app_launcher "${where#app:}")") ;;
    ct:*) launch=(nsenter --net="/proc/${CT_PID[${where#ct:}]}/ns/net") ;;
  esac
  "${launch[@]}" "$LEAK_STREAM" --udp "$SERVER4" --udp "$SERVER6" --udp-port "$STREAM_PORT" \
    --tcp "$SERVER4" --tcp "$SERVER6" --tcp-port "$STREAM_PORT" > "$(stream_out "$where")" 2>&1 &
  STREAM_PID[$where]=$!
  wait_for_file_line "$(stream_out "$where")" ready
}
stream_stop() {
  local where=${1:-host} out
  out=$(stream_out "$where")
  kill -TERM "${STREAM_PID[$where]}"
  # In a command substitution the stream is no child to wait for: its
  # counts line says it ended.
  wait_until 10 grep -q '^udp4_sent=' "$out"
  wait "${STREAM_PID[$where]}" 2> /dev/null
  tail -n 1 "$out"
}
stream_out() { echo "$TESTBED_TMP/stream.${1/:/.}.out"; }
stream_figure() { tr ' ' '\n' <<< "$1" | sed -n "s/^$2=//p"; }
stream_counted() { [[ $1 =~ ^[1-9][0-9]*/[1-9][0-9]*/[1-9][0-9]*/[1-9][0-9]*$ ]] && echo counted || echo "$1"; }

# --- The stand-in engine without the helper.
#
# engine_driver_start runs tools/engine_driver on the stand-in engine as a
# coprocess (with this shell's environment for the engine), true once it
# loaded the library; engine_driver_do COMMAND ("run CONFIG", "stop") prints
# its one-line answer. The engine then makes devices and nothing routes
# into them: a test adds the routes it needs.
engine_driver_start() {
  local line
  coproc ENGINE_DRIVER { "$LVH_BUILD_DIR/tools/engine_driver/engine_driver" "$LVH_ENGINE" 2>&1; }
  read -r -t 10 line <&"${ENGINE_DRIVER[0]}" && [ "$line" = ready ]
}
engine_driver_do() {
  local line
  echo "$*" >&"${ENGINE_DRIVER[1]}"
  read -r -t 20 line <&"${ENGINE_DRIVER[0]}"
  echo "$line"
}
