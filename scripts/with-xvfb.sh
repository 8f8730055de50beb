#!/usr/bin/env bash
# Runs a command with DISPLAY set to a private Xvfb server and stops that
# server (only it, by its PID) afterwards. Exit status is the command's.
# QL_XVFB_DISPLAY picks the first display number to try (default 93).
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: with-xvfb.sh COMMAND [ARGS...]" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "with-xvfb: Xvfb is not installed" >&2; exit 2; }

first=${QL_XVFB_DISPLAY:-93}
xvfb_pid=""
log=$(mktemp)

stop_xvfb() {
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  xvfb_pid=""
  rm -f "$log"
}
trap stop_xvfb EXIT
trap 'exit 130' INT TERM

# Another run (or another engineer) may hold a number: take the next free one.
display=""
for n in $(seq "$first" $((first + 40))); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset </dev/null >"$log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
    display=":$n"
    break
  fi
  wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=""
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
