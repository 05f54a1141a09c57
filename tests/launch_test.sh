#!/bin/sh
# Runs mirvex on a simulated desktop with its log on standard error and checks the lines.
#   launch_test.sh <mirvex> <scenario> <pattern>...
# Each pattern is an extended regular expression that must match a line, each one after the
# previous one's line; a pattern starting with "!" must match no line. MIRVEX_QUIT_AFTER_MS
# ends the run loop shortly after start-up; a fresh configuration folder is used.
set -u
bin=$1
scenario=$2
shift 2
cfg=$(mktemp -d)
trap 'rm -rf "$cfg"' EXIT
out=$(XDG_CONFIG_HOME="$cfg" MIRVEX_SIM="$scenario" MIRVEX_STDERR=1 MIRVEX_QUIT_AFTER_MS=200 \
      QT_QPA_PLATFORM=offscreen timeout 60 "$bin" 2>&1)
status=$?
printf '%s\n' "$out"
if [ "$status" -ne 0 ]; then
  echo "FAIL: exit status $status"
  exit 1
fi
after=0
for p in "$@"; do
  case $p in
    !*)
      if printf '%s\n' "$out" | grep -Eq -- "${p#!}"; then echo "FAIL: unexpected line matching: ${p#!}"; exit 1; fi
      ;;
    *)
      n=$(printf '%s\n' "$out" | grep -En -- "$p" | cut -d: -f1 | awk -v a="$after" '$1 > a { print; exit }')
      if [ -z "$n" ]; then echo "FAIL: no line matching, after line $after: $p"; exit 1; fi
      after=$n
      ;;
  esac
done
echo "PASS"
