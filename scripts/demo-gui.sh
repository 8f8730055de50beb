#!/usr/bin/env bash
# Starts QuillonUpdate.exe under Wine on a private virtual display, as a user
# who has used it before (a settings file beside it), and saves a picture of
# its main window to demo/screenshot-main-window.png. Builds the program in
# build/windows first when needed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QL_WINDOWS_BUILD:-$here/build/windows}
shot=$here/demo/screenshot-main-window.png

if [ "${1:-}" != "--on-display" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build" --target QuillonUpdate -j "${JOBS:-2}" >/dev/null
  bash "$here/scripts/wine-prefix.sh"
  exec bash "$here/scripts/with-xvfb.sh" bash "${BASH_SOURCE[0]}" --on-display
fi

# From here on DISPLAY is our own Xvfb.
work=$here/build/demo-gui
rm -rf "$work"
mkdir -p "$work" "$(dirname "$shot")"
cp "$build/bin/QuillonUpdate.exe" "$work/"
printf '[IMAGEFILE]\r\nImageFilePath=%s\r\n[DRIVE]\r\nDriveName=E:\r\n' \
  "$(printf 'C:\\Users\\quillon\\Downloads\\zr7040-update-2.1.bin')" >"$work/QuillonUpdate.ini"

desktop="QuillonDemo$$"
run() { bash "$here/scripts/wine-run.sh" explorer "/desktop=$desktop,1024x768" "$@"; }
run "$(winepath -w "$work/QuillonUpdate.exe" 2>/dev/null)" >"$work/stdout.txt" 2>&1 &
wine_pid=$!

# The window's place on the screen, once Wine has made it.
geometry=""
for _ in $(seq 300); do
  geometry=$(xwininfo -root -tree 2>/dev/null |
    sed -n 's/.*"Quillon Update Tool": (.*)  \([0-9]*x[0-9]*\)+[-0-9]*+[-0-9]*  +\([-0-9]*\)+\([-0-9]*\)$/\1+\2+\3/p' |
    head -n1)
  [ -n "$geometry" ] && break
  sleep 0.2
done
status=0
if [ -n "$geometry" ]; then
  sleep 2  # let it paint
  import -window root -crop "$geometry" +repage "png:$shot"
  echo "demo-gui: saved ${shot#"$here"/}"
else
  echo "demo-gui: the main window did not appear" >&2
  status=1
fi

# Close it as a user would (WM_CLOSE), from inside the same desktop.
run taskkill /im QuillonUpdate.exe >/dev/null 2>&1 || true
for _ in $(seq 100); do
  kill -0 "$wine_pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$wine_pid" 2>/dev/null; then
  kill "$wine_pid" 2>/dev/null || true
fi
wait "$wine_pid" 2>/dev/null || true
exit "$status"
