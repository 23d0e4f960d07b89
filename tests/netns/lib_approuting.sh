# Helpers for the app-routing namespace tests (sourced after testbed.sh).
#
# The membership pass looks at every process in /proc and moves those whose
# name matches, and a write into a cgroup.procs file is not confined to the
# cgroup namespace (the v2 hierarchy has no nsdelegate here). The test bed's
# own PID namespace keeps the machine's processes out of the helper's sight;
# the selected programs get unique names besides.

source "$(dirname "${BASH_SOURCE[0]}")/lib_lifecycle.sh"

CG=/sys/fs/cgroup
GROUP_NAME=zelmo-vpn-app-routing
DEST4=203.0.113.10

# ar_setup_tun: the test bed with a TUN device artun0 up and no engine.
ar_setup_tun() {
  testbed_setup
  ip tuntap add dev artun0 mode tun
  ip link set artun0 up
}

# ar_setup_engine: the test bed and $CONFIG, an engine configuration that
# makes the stand-in engine create artun0.
ar_setup_engine() {
  testbed_setup
  CONFIG="$TESTBED_TMP/config.json"
  write_engine_config "$CONFIG" artun0 198.51.100.7
}

# ar_wait_at_least N CMD...: waits (5 s at most) until CMD prints N or more.
ar_wait_at_least() {
  local want=$1 try
  shift
  for try in $(seq 100); do
    [ "$("$@")" -ge "$want" ] && return 0
    sleep 0.05
  done
  return 1
}

# A name no other process can have; command names keep 15 characters.
ar_unique_name() { echo "${1:-arapp}$RANDOM$RANDOM" | cut -c1-"${2:-15}"; }

# ar_make_app NAME [PROGRAM]: a copy of PROGRAM (default sleep) called NAME
# in $AR_BIN, so its command name and its executable's file name are NAME.
AR_BIN=
ar_make_app() {
  [ -n "$AR_BIN" ] || { AR_BIN="$TESTBED_TMP/bin"; mkdir -p "$AR_BIN"; }
  cp "$(command -v "${2:-sleep}")" "$AR_BIN/$1"
}

# ar_start_app NAME: starts $AR_BIN/NAME (a sleep) in the background;
# AR_PID is its process ID.
ar_start_app() {
  "$AR_BIN/$1" 1000 &
  AR_PID=$!
}

# ar_start_app_in SCOPE NAME [ARG...]: $AR_BIN/NAME started with the ARGs
# (default 1000) in cgroup SCOPE (made if missing), so that its exec happens
# there; AR_PID is its process ID.
ar_start_app_in() {
  local dir="$CG/$1" name=$2
  shift 2
  [ $# -gt 0 ] || set -- 1000
  mkdir -p "$dir"
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$dir" "$AR_BIN/$name" "$@" &
  AR_PID=$!
}

# ar_cgroup_of PID: the process's cgroup path ("/" for the test bed's root).
ar_cgroup_of() { sed -n 's/^0:://p' "/proc/$1/cgroup"; }

# ar_wait_cgroup PID PATH: waits (10 s at most) until the process is in PATH.
ar_wait_cgroup() {
  local deadline=$((SECONDS + 10))
  while [ "$SECONDS" -lt "$deadline" ]; do
    [ "$(ar_cgroup_of "$1")" = "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

# ar_policy MODE APP...: an enabled policy document.
ar_policy() {
  local mode=$1 apps="" app
  shift
  for app in "$@"; do apps="$apps${apps:+, }\"$app\""; done
  echo "{\"enabled\": true, \"mode\": \"$mode\", \"apps\": [$apps]}"
}

# The pieces of app routing, one per line: mark rules, policy rules of
# priority 1066, both tables, the cgroup directories.
ar_mark_rules() { iptables -t mangle -S OUTPUT | grep -- '-m cgroup' || true; }
ar_mark_rules6() { ip6tables -t mangle -S OUTPUT | grep -- '-m cgroup' || true; }
ar_app_rules() { ip rule show | grep '^1066:' || true; }
ar_app_rules6() { ip -6 rule show | grep '^1066:' || true; }
# The tunnel-only guard's jumps, "IPV4/IPV6".
ar_guards() {
  echo "$(iptables -t mangle -S POSTROUTING | grep -c -- '-j ZELMO_APP_GUARD')/$(ip6tables -t mangle -S POSTROUTING | grep -c -- '-j ZELMO_APP_GUARD')"
}
ar_table() { ip route show table "$1" 2>/dev/null | sed 's/ linkdown//; s/ *$//'; }
ar_table6() { ip -6 route show table "$1" 2>/dev/null | sed 's/ linkdown//; s/ pref medium//; s/ *$//'; }
# Every table of app routing ends in this route: with its first route gone
# (the TUN device with it), a selected program is refused.
AR_FALLBACK="unreachable default metric 4096"
AR_FALLBACK6="unreachable default dev lo metric 4096"
ar_cgroups() { (cd "$CG" && find . -mindepth 1 -type d | sed 's|^\./||' | sort); }

# ar_run_in_cgroup PATH CMD...: runs CMD with its process in cgroup PATH
# (made if missing); OUT, ERR and STATUS as run_to_end.
ar_run_in_cgroup() {
  local dir="$CG/$1"
  shift
  mkdir -p "$dir"
  OUT=$(sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$dir" "$@" 2> "$TESTBED_TMP/ar.err")
  STATUS=$?
  ERR=$(cat "$TESTBED_TMP/ar.err")
}

# ar_helper_in_cgroup PATH ARGS...: the helper run to completion in PATH.
ar_helper_in_cgroup() {
  local path=$1
  shift
  ar_run_in_cgroup "$path" "$LVH_HELPER" "$@"
}

# ar_remove_cgroups DIR...: removes test-made groups, deepest first, after
# moving any member back to the test bed's root.
ar_remove_cgroups() {
  local dir pid
  for dir in "$@"; do
    [ -d "$CG/$dir" ] || continue
    while read -r sub; do
      for pid in $(cat "$sub/cgroup.procs" 2>/dev/null); do echo "$pid" > "$CG/cgroup.procs"; done
      rmdir "$sub"
    done < <(find "$CG/$dir" -depth -type d)
  done
}

# ar_assert_no_cgroups: the test left no cgroup behind.
ar_assert_no_cgroups() {
  assert_eq "" "$(ar_cgroups)" "no cgroup left behind"
}

# ar_without_capability_line TEXT: the helper's lines after its first one.
ar_lines_after_capability() { sed 1d <<< "$1"; }
