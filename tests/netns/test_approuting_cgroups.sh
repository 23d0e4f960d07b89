#!/bin/bash
# Where the group goes and what the kernel refuses: a helper below an
# app.slice level (its rule is listed with the path in quotes and removed
# also by an invocation in another cgroup), a helper outside its cgroup
# namespace's root, a parent that allows no more groups, a group that
# cannot be removed because a member made a group of its own below it, and,
# where the test bed's cgroup root offers a controller, a parent with
# controllers enabled that refuses the members' hand-back.
source "$(dirname "$0")/testbed.sh"
source "$(dirname "$0")/lib_approuting.sh"
testbed_enter "$@"
ar_setup_tun
SELECTED=$(ar_unique_name sel)
ar_make_app "$SELECTED"
ar_start_app "$SELECTED"; SELECTED_PID=$AR_PID
POLICY=$(ar_policy vpnOnlySelected "$SELECTED")
BEFORE=$(testbed_snapshot)

# --- Below an app.slice: the group sits at the slice level, next to the
# helper's own scope.
SLICE=user.slice/user-1000.slice/session.service/app.slice
ar_helper_in_cgroup "$SLICE/term-1.scope" --apply-app-bypass-policy "$POLICY" --tun artun0
assert_eq "0 APP_ROUTING_APPLIED" "$STATUS $(ar_lines_after_capability "$OUT")" "app.slice: applied"
assert_eq "/$SLICE/$GROUP_NAME" "$(ar_cgroup_of "$SELECTED_PID")" "app.slice: process moved to the slice's group"
assert_eq "-A OUTPUT -m cgroup --path \"$SLICE/$GROUP_NAME\" -j MARK --set-xmark 0x66/0xffffffff" \
  "$(ar_mark_rules)" "app.slice: the mark rule is listed with its path in quotes"
# An invocation in another cgroup finds the quoted rule by listing; the
# group itself is not its own and stays.
run_to_end --remove-app-bypass-policy
assert_eq "" "$(ar_mark_rules)$(ar_app_rules)$(ar_table 1067)" \
  "remove from another cgroup: quoted mark rule, rule and table gone"
assert_eq "/$SLICE/$GROUP_NAME" "$(ar_cgroup_of "$SELECTED_PID")" "remove from another cgroup: others' group kept"
# An invocation from another scope of the same slice finds the group.
ar_helper_in_cgroup "$SLICE/term-2.scope" --remove-app-bypass-policy
assert_eq "/$SLICE" "$(ar_cgroup_of "$SELECTED_PID")" "remove from the same slice: member handed back to the slice"
assert_eq "" "$(ar_cgroups | grep -F "$GROUP_NAME")" "remove from the same slice: group gone"
echo "$SELECTED_PID" > "$CG/cgroup.procs"
ar_remove_cgroups user.slice
assert_eq "$BEFORE" "$(testbed_snapshot)" "app.slice: host as before"

# --- Outside its cgroup namespace's root the helper sees its own path as
# "/../outside"; joined to the mount point that would leave the cgroup
# filesystem, so the path is refused before anything is made.
mkdir "$CG/nsroot" "$CG/outside"
ESCAPED=$(sh -c 'echo $$ > "$0/nsroot/cgroup.procs"
  exec unshare --cgroup sh -c "echo \$\$ > $0/outside/cgroup.procs; exec \"\$@\"" sh "$@"' \
  "$CG" sh -c 'sed -n "s/^0:://p" /proc/self/cgroup; exec "$0" "$@"' \
  "$LVH_HELPER" --apply-app-bypass-policy "$POLICY" --tun artun0)
STATUS=$?
assert_eq "2 /../outside ERROR: invalid cgroup path for app routing" \
  "$STATUS $(sed -n 1p <<< "$ESCAPED") $(sed -n 3p <<< "$ESCAPED")" "outside the namespace root: refused"
assert_eq "nsroot outside" "$(ar_cgroups | tr '\n' ' ' | sed 's/ $//')" "outside the namespace root: no group made"
assert_eq "" "$(ls /sys/fs | grep -F outside)" "outside the namespace root: nothing made beside the mount"
ar_remove_cgroups nsroot outside
assert_eq "$BEFORE" "$(testbed_snapshot)" "outside the namespace root: host unchanged"

# --- A parent that may have no more child groups: creation is refused.
mkdir "$CG/limited.scope"
echo 0 > "$CG/limited.scope/cgroup.max.descendants"
ar_helper_in_cgroup limited.scope --apply-app-bypass-policy "$POLICY" --tun artun0
assert_eq "2 ERROR: failed to create app routing cgroup; enable cgroup v2 delegation for the user session or run the helper through a root-owned service" \
  "$STATUS $(ar_lines_after_capability "$OUT")" "creation refused: error line"
ar_remove_cgroups limited.scope
assert_eq "$BEFORE" "$(testbed_snapshot)" "creation refused: host unchanged"

# --- A member made a group of its own inside ours: rmdir is refused while
# that group exists. The helper removes everything else; the group stays
# for a later call, and a new apply takes it as it is.
run_to_end --apply-app-bypass-policy "$POLICY" --tun artun0
mkdir "$CG/$GROUP_NAME/child"
sleep 1000 &
CHILD_PID=$!
echo "$CHILD_PID" > "$CG/$GROUP_NAME/child/cgroup.procs"
run_to_end --remove-app-bypass-policy
assert_eq "0 APP_ROUTING_REMOVED" "$STATUS $(ar_lines_after_capability "$OUT")" "group with a sub-group: removed line"
assert_eq "/ /$GROUP_NAME/child" "$(ar_cgroup_of "$SELECTED_PID") $(ar_cgroup_of "$CHILD_PID")" \
  "group with a sub-group: direct member handed back, the sub-group's left"
assert_eq "$GROUP_NAME $GROUP_NAME/child|||" "$(ar_cgroups | tr '\n' ' ' | sed 's/ $//')|$(ar_mark_rules)|$(ar_app_rules)|$(ar_table 1067)" \
  "group with a sub-group: the group stays, rules and table gone"
run_to_end --apply-app-bypass-policy "$POLICY" --tun artun0
assert_eq "0 APP_ROUTING_APPLIED 1" "$STATUS $(ar_lines_after_capability "$OUT") $(ar_mark_rules | wc -l)" \
  "group with a sub-group: a new apply takes the group as it is"
kill "$CHILD_PID"; wait "$CHILD_PID" 2>/dev/null
rmdir "$CG/$GROUP_NAME/child"
run_to_end --remove-app-bypass-policy
assert_eq "$BEFORE" "$(testbed_snapshot)" "group with a sub-group: gone once the sub-group is"

# --- A parent with controllers enabled for its children may hold no
# processes itself, so the kernel refuses the hand-back (EBUSY). The mark
# rule is gone, the members stay in the group and the group stays until
# they leave, with one line on standard error that says so.
CONTROLLER=$(awk '{ print $1 }' "$CG/cgroup.controllers")
if [ -z "$CONTROLLER" ]; then
  echo "note: the test bed's cgroup root offers no controller here; hand-back refusal not exercised"
else
  mkdir "$CG/leaf"
  for pid in $(cat "$CG/cgroup.procs"); do echo "$pid" > "$CG/leaf/cgroup.procs" 2>/dev/null; done
  echo "+$CONTROLLER" > "$CG/cgroup.subtree_control"
  mkdir -p "$CG/app.slice/term.scope"
  echo "+$CONTROLLER" > "$CG/app.slice/cgroup.subtree_control"
  ar_helper_in_cgroup app.slice/term.scope --apply-app-bypass-policy "$POLICY" --tun artun0
  assert_eq "0 /app.slice/$GROUP_NAME" "$STATUS $(ar_cgroup_of "$SELECTED_PID")" "controllers: member moved in"
  ar_helper_in_cgroup app.slice/term.scope --remove-app-bypass-policy
  assert_eq "0 APP_ROUTING_REMOVED" "$STATUS $(ar_lines_after_capability "$OUT")" "controllers: removed line"
  assert_eq "/app.slice/$GROUP_NAME|" "$(ar_cgroup_of "$SELECTED_PID")|$(ar_mark_rules)" \
    "controllers: hand-back refused, member and group stay, mark rule gone"
  assert_eq "failed to remove app routing cgroup $CG/app.slice/$GROUP_NAME: it is not empty" "$ERR" \
    "controllers: the group left is named on standard error"
  echo "$SELECTED_PID" > "$CG/leaf/cgroup.procs"
  rmdir "$CG/app.slice/$GROUP_NAME"
  echo "-$CONTROLLER" > "$CG/app.slice/cgroup.subtree_control"
  ar_remove_cgroups app.slice
  echo "-$CONTROLLER" > "$CG/cgroup.subtree_control"
  ar_remove_cgroups leaf
  assert_eq "$BEFORE" "$(testbed_snapshot)" "controllers: host as before"
fi

kill "$SELECTED_PID"
ar_assert_no_cgroups
testbed_finish
