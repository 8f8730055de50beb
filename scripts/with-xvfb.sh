#!/usr/bin/env bash
# Runs a command with DISPLAY set to a private Xvfb server and stops that
# server (only it, by its PID) afterwards. Exit status is the command's.
# QL_XVFB_SCREEN sets the screen (1024x768x24 unless given).
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: with-xvfb.sh COMMAND [ARGS...]" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "with-xvfb: Xvfb is not installed" >&2; exit 2; }

xvfb_pid=""
log=$(mktemp)
number=$(mktemp)

stop_xvfb() {
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  xvfb_pid=""
  rm -f "$log" "$number"
}
trap stop_xvfb EXIT
trap 'exit 130' INT TERM

# The server takes the first free display number itself and writes it out
# once it accepts connections: runs started at the same moment (the UI tests
# run in parallel) never share a display.
Xvfb -displayfd 3 -screen 0 "${QL_XVFB_SCREEN:-1024x768x24}" -nolisten tcp -noreset 3>"$number" </dev/null >"$log" 2>&1 &
xvfb_pid=$!
display=""
for _ in $(seq 100); do
  n=$(tr -dc 0-9 <"$number")
  if [ -n "$n" ]; then
    display=":$n"
    break
  fi
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$display" ]; then
  echo "with-xvfb: could not start Xvfb" >&2
  cat "$log" >&2
  exit 2
fi

export DISPLAY=$display
"$@" </dev/null
status=$?

# Wine's desktop process leaves a moment after the last window closes; let
# it go by itself rather than pull the display from under it.
if command -v xlsclients >/dev/null; then
  for _ in $(seq 50); do
    [ -z "$(xlsclients -display "$display" 2>/dev/null)" ] && break
    sleep 0.2
  done
fi
exit "$status"
