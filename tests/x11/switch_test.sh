#!/bin/bash
# End-to-end switching on the X test display: the mirvex program against real clients (our
# xclient), openbox and xdotool, one case per run.
# usage: switch_test.sh CASE MIRVEX XCLIENT ENV_DIR
set -u
case_name=$1 mirvex=$2 xclient=$3 env_dir=$4
[ -s "$env_dir/display" ] || { echo "no X test display; skipped"; exit 77; }
command -v xdotool >/dev/null || { echo "xdotool missing; skipped"; exit 77; }
export DISPLAY
DISPLAY=$(cat "$env_dir/display")

work=$(mktemp -d /tmp/mirvex-switch-XXXXXX)
export XDG_CONFIG_HOME=$work/config
: >"$work/pids"
# Every process started, one per line: clients start in command substitutions (subshells).
pids=$work/pids
cleanup() {
  while read -r p; do kill "$p" 2>/dev/null; done <"$pids"
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected '$2', got '$3'"; return 1; fi
}
# Polls a condition (shell text, expanded afresh at each try) for up to 5 s.
wait_for() {
  for _ in $(seq 100); do eval "$1" && return 0; sleep 0.05; done
  return 1
}

# Starts a client window and prints its window number (decimal).
client() {
  local out=$work/client.$RANDOM
  "$xclient" "$@" >"$out" 2>/dev/null &
  echo $! >>"$pids"
  wait_for '[ -s "$out" ]' || { fail "xclient $* did not map"; return 1; }
  head -1 "$out"
}
active() { xdotool getactivewindow 2>/dev/null; }
net_active() { printf '%d' "$(xprop -root _NET_ACTIVE_WINDOW | sed -n 's/.*# \(0x[0-9a-f]*\).*/\1/p')"; }
log=$work/mirvex.log
# Starts the switcher with preferences given as "-key value" pairs and waits for its hot keys.
start_mirvex() {
  MIRVEX_STDERR=1 "$mirvex" -onboarded 1 "$@" >"$log" 2>&1 &
  mirvex_pid=$!
  echo "$mirvex_pid" >>"$pids"
  wait_for 'grep -q "RegisterEventHotKey slot=1 mods=0xa00 status 0" "$log"' || { fail "no hot keys"; cat "$log"; exit 1; }
}
focus() {
  local wid=$1
  xdotool windowactivate --sync "$wid" 2>/dev/null
  wait_for '[ "$(active)" = "$wid" ]' || fail "could not focus $wid"
}
# Waits for WID to become the active window, then checks it.
expect_active() {
  local what=$1 wid=$2
  wait_for '[ "$(active)" = "$wid" ]' || true
  check "$what" "$wid" "$(active)"
}
# Two clients, "one" (a) and then "two" (b), with b in front.
two_windows() {
  a=$(client -t one -c one,One)
  b=$(client -t two -c two,Two)
  focus "$b"
}
# Holds MOD, presses Tab COUNT times, releases MOD, and waits for the focusing to report.
# Further presses wait until the session is open, as a person's do. Tab goes down and up on
# its own: `xdotool key` may lift the held modifiers around the key it types, which ends the
# session as a real release would.
switch() {
  local mod=$1 count=$2 before summons
  before=$(grep -c '^focus_ms=' "$log")
  summons=$(grep -c '^summon_ms=' "$log")
  xdotool keydown "$mod"
  xdotool keydown Tab keyup Tab
  wait_for '[ "$(grep -c "^summon_ms=" "$log")" -gt "$summons" ]' || fail "no summon"
  for _ in $(seq 2 "$count"); do sleep 0.05; xdotool keydown Tab keyup Tab; done
  sleep 0.05
  xdotool keyup "$mod"
  wait_for '[ "$(grep -c "^focus_ms=" "$log")" -gt "$before" ]' || { fail "no focus report"; tail -20 "$log"; }
}

case $case_name in
dump)
  a=$(client -t first -c first,First)
  b=$(client -t second -c second,Second)
  c=$(client -t elsewhere -c elsewhere,Elsewhere -d 1)
  out=$("$mirvex" --dump 2>/dev/null)
  # Front to back: the last mapped first; the window on the second desktop is on Space 2.
  check "stacking order with titles" "second first" \
    "$(echo "$out" | sed -n 's/.* title=Some("\(first\|second\)")$/\1/p' | tr '\n' ' ' | sed 's/ $//')"
  check "desktop as Space" "spaces=[2]" "$(echo "$out" | grep "wid=$c " | grep -o 'spaces=\[[0-9, ]*\]')"
  check "listed with its Space number" "$c 2 elsewhere" \
    "$(echo "$out" | sed -n '/^list spaces=All/,/^list spaces=Visible/p' | grep "^  $c " | awk '{print $1, $3, $4}')"
  [ -n "$a$b" ] || fail "clients"
  ;;
previous)
  two_windows
  start_mirvex
  switch super 1
  expect_active "Super+Tab focuses the previous window" "$a"
  check "the window manager agrees" "$a" "$(net_active)"
  switch super 1
  expect_active "and back again" "$b"
  ;;
third)
  a=$(client -t one -c one,One)
  b=$(client -t two -c two,Two)
  c=$(client -t three -c three,Three)
  focus "$c"
  start_mirvex
  switch super 2
  expect_active "Super+Tab+Tab focuses the third window" "$a" || tail -30 "$log"
  ;;
same_app)
  # Two windows of one application (one process id) and one of another.
  a1=$(client -t a-one -c app,App -p $$)
  other=$(client -t other -c other,Other)
  a2=$(client -t a-two -c app,App -p $$)
  focus "$a2"
  start_mirvex
  switch alt 1
  expect_active "Alt+Tab steps through the front application's windows only" "$a1"
  [ -n "$other" ] || fail "clients"
  ;;
desktop)
  here=$(client -t here -c here,Here)
  away=$(client -t away -c away,Away -d 1)
  focus "$here"
  start_mirvex
  check "starts on the first desktop" 0 "$(xdotool get_desktop)"
  switch super 1
  expect_active "the window on the other desktop is focused" "$away" || tail "$log"
  check "and its desktop is shown" 1 "$(xdotool get_desktop)"
  xdotool set_desktop 0
  ;;
panel)
  two_windows
  start_mirvex
  xdotool keydown super keydown Tab keyup Tab
  wait_for '[ -n "$(xdotool search --onlyvisible --classname mirvex 2>/dev/null)" ]' || fail "no panel"
  check "the open panel does not take focus" "$b" "$(active)"
  xdotool keyup super
  wait_for '[ "$(active)" = "$a" ]' || true
  switch super 1
  check "rows of both summons: the panel never lists itself" "rows=2 rows=2" \
    "$(grep -o '^summon_ms=.* rows=[0-9]*' "$log" | sed 's/.* //' | tr '\n' ' ' | sed 's/ $//')"
  ;;
grabs)
  two_windows
  start_mirvex
  # Killed in the middle of a session, while it holds the whole keyboard.
  xdotool keydown super keydown Tab keyup Tab
  wait_for 'grep -q "^summon_ms=" "$log"' || fail "no summon"
  kill -9 "$mirvex_pid"
  wait "$mirvex_pid" 2>/dev/null
  xdotool keyup super
  # Every chord and the keyboard are free again: a new instance registers all of them.
  start_mirvex
  check "hot keys registered again" 4 "$(grep -c 'RegisterEventHotKey .* status 0' "$log")"
  switch super 1
  expect_active "and switching works" "$a"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
exit $((failures > 0))
