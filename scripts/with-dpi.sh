#!/usr/bin/env bash
# with-dpi.sh DPI COMMAND...: runs COMMAND with Windows programs under Wine
# seeing a display of DPI (96 = 100 %, 120, 144, 192 = 200 %). Wine takes the
# DPI from its prefix (LogPixels), so any DPI but the project prefix's 96
# gets a copy of that prefix of its own for this one run, removed afterwards:
# runs at the same moment never see each other's DPI. Xvfb's screen (for
# with-xvfb.sh) grows by the same factor, so that the larger windows fit.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: with-dpi.sh DPI COMMAND [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dpi=$1
shift
case "$dpi" in
  '' | *[!0-9]*) echo "with-dpi: DPI must be a number, not '$dpi'" >&2; exit 2 ;;
esac
base=${WINEPREFIX:-$here/build/wine}
bash "$here/scripts/wine-prefix.sh"
if [ "$dpi" -eq 96 ]; then
  exec "$@"
fi

prefix=$(mktemp -d "$base-dpi$dpi.XXXXXX")
export WINEPREFIX=$prefix
cleanup() {
  # The copy's server ends by itself once its last program has: wait for
  # it, so that nothing of it is left in the folder being removed.
  timeout 60 wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Hard links cost no space and no time (the prefix is 700 MB). Of a ready
# prefix Wine rewrites only the registry and the .ini files, which are
# copied whole. The users' Temp folders start empty: other runs make and
# remove files there while this copy is taken.
(
  cd "$base"
  skip=(-path './drive_c/users/*/Temp' -prune -o)
  find . "${skip[@]}" -type d -print0 | (cd "$prefix" && xargs -0 mkdir -p)
  find . -mindepth 2 "${skip[@]}" ! -type d -print0 | xargs -0 cp -Pl --parents -t "$prefix"
)
for dir in "$prefix"/drive_c/users/*/; do
  mkdir -p "$dir/Temp"
done
for file in "$base"/* "$base"/.[!.]* "$base"/drive_c/windows/*.ini; do
  if [ -f "$file" ]; then
    cp --remove-destination -p "$file" "$prefix/${file#"$base"/}" 2>/dev/null || [ ! -e "$file" ]
  fi
done
# One server for the whole run, kept a few seconds past its last program:
# a server that ends between two of them can drop the next one's connection.
wineserver -p5
bash "$here/scripts/wine-run.sh" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
  /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
export QL_XVFB_SCREEN="$((1024 * dpi / 96))x$((768 * dpi / 96))x24"
status=0
"$@" || status=$?
exit "$status"
