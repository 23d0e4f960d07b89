#!/usr/bin/env bash
# Command line and mode selection, seen from outside: the real executable,
# its outcome line, its exit status and whether the capability gate ran.
# Privileged modes run for real, so this runs in the test bed.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_lifecycle.sh"
testbed_enter "$@"
testbed_setup

POLICY='{"enabled":true,"mode":"bypassSelected","apps":["firefox"]}'
MISSING="ERROR: missing required arguments --lib and --config"
NO_LIB=/nonexistent/libXray.so
DLOPEN_FAILED="ERROR: dlopen failed: $NO_LIB: cannot open shared object file: No such file or directory"

# expect_outcome WHAT STATUS OUTCOME gate|nogate ARGS...: the helper prints
# exactly one line that is not an INFO line, OUTCOME, and exits with STATUS;
# with "gate" its first line is the capability line, with "nogate" there is none.
expect_outcome() {
  local what=$1 status=$2 outcome=$3 gate=$4
  shift 4
  run_to_end "$@"
  assert_eq "$status" "$STATUS" "$what: exit status"
  assert_eq "$outcome" "$(grep -v '^INFO: ' <<< "$OUT")" "$what: outcome line"
  if [ "$gate" = gate ]; then
    if head -n 1 <<< "$OUT" | grep -qE "$CAPABILITY_LINE_RE"; then
      pass "$what: capability line first"
    else
      fail "$what: capability line first (got: $(head -n 1 <<< "$OUT"))"
    fi
  else
    assert_not_contains "$OUT" "INFO: helper pid=" "$what: no capability check"
  fi
}

# --- no mode: line 27 without the gate
expect_outcome "no arguments" 2 "$MISSING" nogate
expect_outcome "--lib alone" 2 "$MISSING" nogate --lib "$LVH_ENGINE"
expect_outcome "empty --config value" 2 "$MISSING" nogate --lib "$LVH_ENGINE" --config ""
expect_outcome "empty --lib value" 2 "$MISSING" nogate --lib "" --config /etc/hostname
expect_outcome "trailing --config is ignored" 2 "$MISSING" nogate --lib "$LVH_ENGINE" --config
expect_outcome "--option=value is not an option" 2 "$MISSING" nogate \
  --lib="$LVH_ENGINE" --config=/etc/hostname
expect_outcome "--tun swallows --lib as its value" 2 "$MISSING" nogate \
  --tun --lib "$LVH_ENGINE" --config /etc/hostname
expect_outcome "a value that looks like a flag is a value" 2 "$MISSING" nogate --dat-dir --cleanup
expect_outcome "trailing --apply-app-bypass-policy selects nothing" 2 "$MISSING" nogate \
  --apply-app-bypass-policy
expect_outcome "--kill-switch alone" 2 "$MISSING" nogate --kill-switch
expect_outcome "--app-routing-policy alone" 2 "$MISSING" nogate --app-routing-policy "$POLICY"
expect_outcome "unknown and differently spelt options" 2 "$MISSING" nogate \
  --verbose -cleanup --Cleanup cleanup --cleanup=1

# --- validate: no gate
expect_outcome "validate a valid policy" 0 \
  "OK: Linux cgroup/policy-routing app routing policy is valid" nogate \
  --validate-app-bypass-policy "$POLICY"
expect_outcome "validate a disabled policy" 0 \
  "OK: Linux cgroup/policy-routing app routing policy is valid" nogate \
  --validate-app-bypass-policy '{"enabled":false}' --unknown

expect_outcome "validate an enabled policy without mode" 2 \
  "ERROR: invalid app bypass policy: mode must be bypassSelected or vpnOnlySelected" nogate \
  --validate-app-bypass-policy '{"enabled":true,"apps":["firefox"]}'

# --- precedence: remove > apply > cleanup > run > validate
expect_outcome "remove wins over everything" 0 APP_ROUTING_REMOVED gate \
  --cleanup --apply-app-bypass-policy "$POLICY" --tun qtun0 --lib "$NO_LIB" --config /etc/hostname \
  --validate-app-bypass-policy "$POLICY" --remove-app-bypass-policy
expect_outcome "apply wins over cleanup and run" 2 \
  "ERROR: --apply-app-bypass-policy requires --tun" gate \
  --cleanup --lib "$NO_LIB" --config /etc/hostname --apply-app-bypass-policy "$POLICY"
expect_outcome "cleanup wins over run and validate" 0 CLEANED gate \
  --validate-app-bypass-policy "$POLICY" --lib "$NO_LIB" --config /etc/hostname --cleanup
expect_outcome "run wins over validate" 2 "$DLOPEN_FAILED" gate \
  --validate-app-bypass-policy "$POLICY" --lib "$NO_LIB" --config /etc/hostname
expect_outcome "flags repeat harmlessly, strays are ignored" 0 CLEANED gate \
  stray --cleanup --cleanup --kill-switch
expect_outcome "a later value replaces an earlier one" 2 "$DLOPEN_FAILED" gate \
  --lib "$LVH_ENGINE" --config /etc/hostname --lib "$NO_LIB"

# --- apply: its own checks, after the gate, the policy before --tun
expect_outcome "apply an invalid policy without --tun" 2 \
  "ERROR: invalid app routing policy: enabled app bypass requires at least one process name" gate \
  --apply-app-bypass-policy '{"enabled":true,"mode":"bypassSelected","apps":[]}'
expect_outcome "apply without --tun" 2 "ERROR: --apply-app-bypass-policy requires --tun" gate \
  --apply-app-bypass-policy "$POLICY"
expect_outcome "apply with an empty --tun" 2 "ERROR: --apply-app-bypass-policy requires --tun" gate \
  --tun "" --apply-app-bypass-policy "$POLICY"

# Nothing above may have left anything behind in the namespace.
assert_eq "" "$(ip -o link show type tun)" "no TUN device left"
testbed_finish
