#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix (made by
# scripts/wine-prefix.sh), in the Japanese locale the program is made for
# (QUILLON_WINE_LOCALE names another, for a test of a system without Japanese).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export LANG=${QUILLON_WINE_LOCALE:-ja_JP.UTF-8} LC_ALL=${QUILLON_WINE_LOCALE:-ja_JP.UTF-8}
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
