#!/usr/bin/env bash
# Creates the project's Wine prefix under build/wine, once.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wine}"
export WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
stamp="$WINEPREFIX/.quillon-ready"
[ -f "$stamp" ] && exit 0
mkdir -p "$WINEPREFIX"
echo "wine-prefix: creating $WINEPREFIX" >&2
wineboot -i >/dev/null 2>&1 || true
wineserver -w || true
touch "$stamp"
