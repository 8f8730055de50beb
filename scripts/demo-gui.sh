#!/usr/bin/env bash
# Starts QuillonUpdate.exe under Wine on a private virtual display, as a user
# who has used it before (a settings file beside it), and saves a picture of
# its main window to demo/screenshot-main-window.png, and the same at 150 %
# display scale (144 DPI, a Wine prefix of its own) to
# demo/screenshot-main-window-144dpi.png. With QL_DEMO_CARD and
# QL_DEMO_UPDATE set it then runs that update from the window of the test
# build (whose drive E: is the card image, slowed down like a real card),
# driven by the UI test's driver, which leaves
# demo/screenshot-progress-dialog.png (taken while the copy is under way)
# and demo/screenshot-completion-box.png. Builds what it needs in
# build/windows first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QL_WINDOWS_BUILD:-$here/build/windows}
demo=$here/demo

if [ "${1:-}" != "--main-window" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  targets=(QuillonUpdate)
  [ -n "${QL_DEMO_CARD:-}" ] && targets+=(QuillonUpdateTest update_ui_test)
  cmake --build "$build" --target "${targets[@]}" -j "${JOBS:-2}" >/dev/null
  bash "$here/scripts/wine-prefix.sh"
  mkdir -p "$demo"
  for dpi in 96 144; do
    shot=$demo/screenshot-main-window.png
    [ "$dpi" -eq 96 ] || shot=$demo/screenshot-main-window-${dpi}dpi.png
    bash "$here/scripts/with-dpi.sh" "$dpi" bash "$here/scripts/with-xvfb.sh" \
      bash "${BASH_SOURCE[0]}" --main-window "$shot" || exit 1
  done
  [ -n "${QL_DEMO_CARD:-}" ] || exit 0
  mkdir -p "$here/build/demo-gui"
  log=$here/build/demo-gui/update-from-window.txt
  if QL_APP_EXE="$build/bin/QuillonUpdate.exe" QL_TEST_APP_EXE="$build/bin/QuillonUpdateTest.exe" \
    QL_SCREENSHOT_DIR="$demo" bash "$here/scripts/with-xvfb.sh" bash "$here/scripts/wine-run.sh" \
    "$build/bin/update_ui_test.exe" --gtest_filter=DemoScene.UpdateFromTheWindow >"$log" 2>&1; then
    echo "demo-gui: updated ${QL_DEMO_CARD#"$here"/} from the window;" \
      "saved demo/screenshot-progress-dialog.png and demo/screenshot-completion-box.png"
    exit 0
  fi
  cat "$log" >&2
  echo "demo-gui: the update from the window failed" >&2
  exit 1
fi

# From here on DISPLAY is our own Xvfb, as large as with-dpi.sh made it.
shot=$2
screen=${QL_XVFB_SCREEN:-1024x768x24}
work=$here/build/demo-gui/$(basename "$shot" .png)
rm -rf "$work"
mkdir -p "$work"
cp "$build/bin/QuillonUpdate.exe" "$work/"
printf '[IMAGEFILE]\r\nImageFilePath=%s\r\n[DRIVE]\r\nDriveName=E:\r\n' \
  "$(printf 'C:\\Users\\quillon\\Downloads\\zr7040-update-2.1.bin')" >"$work/QuillonUpdate.ini"

desktop="QuillonDemo$$"
run() { bash "$here/scripts/wine-run.sh" explorer "/desktop=$desktop,${screen%x*}" "$@"; }
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
  echo "demo-gui: saved ${shot#"$here"/} (${geometry%%+*})"
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
