#!/usr/bin/env bash
# Creates the project's Wine prefix under build/wine, once, and sets what
# the tests rely on: Japanese fonts for the dialog and menu faces, and
# drive letters that Wine reports as removable (A: E: G: Y:) or fixed (D:),
# and web addresses that open no browser.
# A prefix made by an older version of this script is brought up to date.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wine}"
export WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
stamp="$WINEPREFIX/.quillon-ready-v3"
[ -f "$stamp" ] && exit 0

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$stamp" ] && exit 0

mkdir -p "$WINEPREFIX"
created=false
# Made: wineboot wrote the registry, the drive letters' folder and Windows.
made() {
  [ -f "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/dosdevices" ] &&
    [ -d "$WINEPREFIX/drive_c/windows/system32" ]
}
# The registry reaches its files when the prefix's server ends.
boot() { wineboot -i >"$1" 2>&1 && wineserver -w >>"$1" 2>&1; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-prefix: creating $WINEPREFIX" >&2
  out=$(mktemp)
  # wineboot fails now and then on a fresh machine, for one whose server is
  # still ending or has died: once more after ending this prefix's server.
  if ! { boot "$out" && made; }; then
    echo "wine-prefix: wineboot did not make the prefix; ending its server and trying again" >&2
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if ! { boot "$out" && made; }; then
      {
        echo "wine-prefix: wineboot could not make the Wine prefix $WINEPREFIX; it said:"
        sed 's/^/  /' "$out"
        echo "wine-prefix: end its Wine programs (WINEPREFIX=$WINEPREFIX wineserver -k),"
        echo "  remove $WINEPREFIX and run this again; if that fails too, check Wine itself:"
        echo "  WINEPREFIX=\$(mktemp -d) wineboot -i"
      } >&2
      rm -f "$out"
      exit 1
    fi
  fi
  rm -f "$out"
  created=true
else
  echo "wine-prefix: updating $WINEPREFIX" >&2
fi

# Each letter is a folder of its own; the registry gives its drive type.
for letter in a d e g y; do
  mkdir -p "$WINEPREFIX/drives/$letter"
  ln -sfn "../drives/$letter" "$WINEPREFIX/dosdevices/$letter:"
done

# Caption buttons are drawn with Marlett; Wine only finds it in the prefix.
marlett=/usr/share/wine/fonts/marlett.ttf
[ -f "$marlett" ] && cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"

# Without replacements Wine has no face for these names and Japanese text
# turns to boxes. IPAPGothic comes with fonts-ipafont-gothic.
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
{
  echo 'REGEDIT4'
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]'
  for face in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "System"; do
    echo "\"$face\"=\"IPAPGothic\""
  done
  echo
  # Windows 10's colours: the window background (menu colour) and the
  # controls' face are the same grey there, unlike in Wine's default theme.
  echo '[HKEY_CURRENT_USER\Control Panel\Colors]'
  echo '"Menu"="240 240 240"'
  echo '"MenuBar"="240 240 240"'
  echo '"ButtonFace"="240 240 240"'
  echo
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Drives]'
  echo '"a:"="floppy"'
  echo '"d:"="hd"'
  echo '"e:"="floppy"'
  echo '"g:"="floppy"'
  echo '"y:"="floppy"'
  echo
  # A link the program opens is only noted, in the working directory, where
  # the UI test looks for it.
  for scheme in http https; do
    echo "[HKEY_CLASSES_ROOT\\$scheme\\shell\\open\\command]"
    echo '@="C:\\windows\\system32\\cmd.exe /c echo %1>>opened-links.txt"'
  done
} >"$reg"
wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1
# A new prefix is complete once its server has ended. An existing one may be
# in use by other runs: they see the new values at once, so no waiting.
if $created; then
  wineserver -w || true
fi
touch "$stamp"
