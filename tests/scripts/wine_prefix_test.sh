#!/usr/bin/env bash
# scripts/wine-prefix.sh with a wineboot that fails as it can on a fresh
# machine: the prefix is made, or the script stops with wineboot's words.
# Wine itself is replaced by stubs. Usage: wine_prefix_test.sh
set -uo pipefail
script=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine-prefix.sh
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
mkdir "$work/bin"
# wineboot as $STUB says: ok, fail once, fail always, or end well having made nothing.
cat >"$work/bin/wineboot" <<'STUB'
#!/bin/sh
n=$(cat "$WINEPREFIX.count" 2>/dev/null || echo 0); echo $((n + 1)) >"$WINEPREFIX.count"
case $STUB in fail) exit_=1 ;; once) [ "$n" -ge 1 ] && exit_=0 || exit_=1 ;; empty) exit 0 ;; *) exit_=0 ;; esac
[ $exit_ -ne 0 ] && { echo "stub wineboot: the server did not start"; exit 1; }
mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c/windows/system32" "$WINEPREFIX/drive_c/windows/Fonts"
touch "$WINEPREFIX/system.reg"
STUB
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wineserver"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wine"
printf '#!/bin/sh\necho "$2"\n' >"$work/bin/winepath"
chmod +x "$work/bin"/*

# name | wineboot | status | words on stderr
while IFS='|' read -r name stub status words; do
  prefix=$work/$stub/wine
  STUB=$stub WINEPREFIX=$prefix PATH="$work/bin:$PATH" bash "$script" 2>"$work/err.txt"
  expect "$name" "$status" $?
  grep -qF "$words" "$work/err.txt"; expect "$name: says \"$words\"" 0 $?
  [ "$status" = 0 ] && ok "$name: drive letters" [ -L "$prefix/dosdevices/e:" ]
done <<'CASES'
made at once|ok|0|creating
fails once|once|0|trying again
fails twice|fail|1|stub wineboot: the server did not start
makes nothing|empty|1|remove
CASES
report
