#!/bin/sh
# Starts (or stops) the X test environment: Xvfb on a free display and openbox with no key or
# mouse bindings, so the tests' chords reach the switcher. State (display number, pids) goes in
# the directory given; the tests read the display from "$dir/display".
# usage: x11_env.sh start|stop DIR
set -u
cmd=$1 dir=$2
stop() {
  for p in openbox xvfb; do
    [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null
  done
  rm -f "$dir/display"
}
case $cmd in
start)
  # A run that was cut short (or a repeated fixture) leaves its server behind: end it first.
  [ -d "$dir" ] && stop
  rm -rf "$dir" && mkdir -p "$dir"
  command -v Xvfb >/dev/null && command -v openbox >/dev/null || { echo "x11_env: Xvfb/openbox missing; x11 tests skip"; exit 0; }
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/displayno" >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  i=0
  while [ ! -s "$dir/displayno" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
  [ -s "$dir/displayno" ] || { echo "x11_env: Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }
  export DISPLAY=":$(tr -d '\n' <"$dir/displayno")"
  rc="$dir/rc.xml"
  if [ -f /etc/xdg/openbox/rc.xml ]; then
    sed -e '/<keyboard>/,/<\/keyboard>/c\<keyboard></keyboard>' \
        -e '/<mouse>/,/<\/mouse>/c\<mouse></mouse>' /etc/xdg/openbox/rc.xml >"$rc"
  else
    printf '%s\n' '<?xml version="1.0"?>' '<openbox_config xmlns="http://openbox.org/3.4/rc">' \
      '<keyboard></keyboard>' '<mouse></mouse>' '</openbox_config>' >"$rc"
  fi
  openbox --config-file "$rc" >"$dir/openbox.log" 2>&1 &
  echo $! >"$dir/openbox.pid"
  i=0
  until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    sleep 0.05; i=$((i + 1))
    [ $i -lt 200 ] || { echo "x11_env: openbox did not start"; cat "$dir/openbox.log"; exit 1; }
  done
  echo "$DISPLAY" >"$dir/display"
  echo "x11_env: $DISPLAY ready"
  ;;
stop)
  stop
  exit 0
  ;;
esac
