#!/usr/bin/env bash
# Starts QuillonUpdate.exe under Wine on a private virtual display, as a user
# who has used it before (a settings file beside it), and saves a picture of
# its main window to demo/screenshot-main-window.png. With QL_DEMO_CARD and
# QL_DEMO_UPDATE set it then runs that update from the window of the test
# build (whose drive E: is the card image), driven by the UI test's driver,
# which leaves demo/screenshot-progress-dialog.png and
# demo/screenshot-completion-box.png. Builds what it needs in build/windows
# first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QL_WINDOWS_BUILD:-$here/build/windows}
shot=$here/demo/screenshot-main-window.png

if [ "${1:-}" != "--on-display" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  targets=(QuillonUpdate)
  [ -n "${QL_DEMO_CARD:-}" ] && targets+=(QuillonUpdateTest update_ui_test)
  cmake --build "$build" --target "${targets[@]}" -j "${JOBS:-2}" >/dev/null
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

if [ "$status" -eq 0 ] && [ -n "${QL_DEMO_CARD:-}" ]; then
  if QL_APP_EXE="$build/bin/QuillonUpdate.exe" QL_TEST_APP_EXE="$build/bin/QuillonUpdateTest.exe" \
    QL_SCREENSHOT_DIR="$(dirname "$shot")" \
    bash "$here/scripts/wine-run.sh" "$build/bin/update_ui_test.exe" \
    --gtest_filter=DemoScene.UpdateFromTheWindow >"$work/update-from-window.txt" 2>&1; then
    echo "demo-gui: updated ${QL_DEMO_CARD#"$here"/} from the window;" \
      "saved demo/screenshot-progress-dialog.png and demo/screenshot-completion-box.png"
  else
    cat "$work/update-from-window.txt" >&2
    echo "demo-gui: the update from the window failed" >&2
    status=1
  fi
fi
exit "$status"
