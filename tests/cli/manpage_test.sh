#!/usr/bin/env bash
# qlupdate(1) against the program it describes: the page renders without a
# warning and lists every command, option and exit status that --help does.
# Usage: manpage_test.sh QLUPDATE PAGE
set -euo pipefail
Q=$(realpath "$1") page=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

renders() {  # name command...
  local name=$1 status=0; shift
  "$@" "$page" >/dev/null 2>"$work/warnings" || status=$?
  expect "$name renders the page" 0 $status
  ok "$name warns of nothing" test ! -s "$work/warnings"
  sed 's/^/  /' "$work/warnings"
}
command -v groff >/dev/null || { echo "FAIL: groff is missing (groff-base)"; exit 1; }
renders groff groff -man -ww -z
# As lintian reads it: man-db's own checks at 80 columns.
if command -v man >/dev/null; then
  renders man env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z
else
  echo "man is missing (man-db): its render is not checked"
fi
# The release script fills in the one version and the date.
ok ".TH is the release script's template" \
  test "$(head -n 1 "$page")" = '.TH QLUPDATE 1 "@DATE@" "qlupdate @VERSION@" "User Commands"'
ok "no version number in the page" eval '! grep -qE "[0-9]+[.][0-9]+[.][0-9]+" "$page"'
# An option written with a plain - renders as a hyphen, not a minus sign.
ok "options are written with \\-" eval '! grep -nE "(^|[ [(\"])--?[a-z]" "$page"'

# The tags of a section's .TP entries, one a line, as the reader sees them.
tags() {  # section
  awk -v s="$1" '/^\.SH/ { on = ($0 == ".SH " s); next }
    on && /^\.TP/ { tag = 1; next }
    on && tag { tag = 0; sub(/^\.[A-Z]+ */, ""); print }' "$page" |
    sed 's/\\%//g; s/\\-/-/g; s/"//g; s/,/ /g; s/  */ /g'
}
"$Q" --help >"$work/help"
# The usage block's commands, every option word, and the exit statuses listed.
sed '/^$/q' "$work/help" | sed -n 's/^\(usage:\)\? *qlupdate \([a-z][a-z]*\).*/\2/p' |
  sort -u >"$work/help-commands"
tr -s ' []()' '\n' <"$work/help" | grep -E '^(--?[a-z][a-z-]*|--)$' | sort -u >"$work/help-options"
sed -n '/^Exit status:/,$s/^ *\([0-9][0-9]*\)  .*/\1/p' "$work/help" >"$work/help-statuses"
tags COMMANDS | cut -d' ' -f1 | sort -u >"$work/page-commands"
tags OPTIONS | tr ' ' '\n' | grep -E '^-' | sort -u >"$work/page-options"
tags "EXIT STATUS" >"$work/page-statuses"

ok "--help names commands" test -s "$work/help-commands"
ok "COMMANDS has exactly --help's commands" diff "$work/help-commands" "$work/page-commands"
ok "--help names options" test -s "$work/help-options"
while read -r option; do
  ok "OPTIONS has $option" grep -qxF -- "$option" "$work/page-options"
done <"$work/help-options"
ok "--help lists exit statuses" test -s "$work/help-statuses"
ok "EXIT STATUS has exactly --help's statuses" diff "$work/help-statuses" "$work/page-statuses"

# The examples, as the page prints them, each on fresh files: the card image
# the update is made from, a card image to update and the update file, also
# under a name that starts with -. No card reader is there to be written: its
# example must get past the command line and be refused as a device.
mkdir "$work/files"
card "$work/files/card.img" 8
head -c $((8 << 20)) /dev/urandom | dd of="$work/files/card.img" bs=1M seek=9 conv=notrunc status=none
card "$work/files/old-card.img" 8
"$Q" make "$work/files/card.img" "$work/files/update.qlu" 2>/dev/null
cp "$work/files/update.qlu" "$work/files/-new.qlu"
awk '/^\.SH/ { on = ($0 == ".SH EXAMPLES") } on && /^\.EX/ { ex = 1; next } /^\.EE/ { ex = 0 }
  on && ex' "$page" | sed 's/\\%//g; s/\\-/-/g; s/^[$] //; s/^sudo //' |
  grep '^qlupdate ' >"$work/examples" || true
ok "the page has examples" test -s "$work/examples"
while read -r -a words; do
  rm -rf "$work/run"; cp -r "$work/files" "$work/run"
  status=0; (cd "$work/run" && "$Q" "${words[@]:1}") </dev/null >/dev/null 2>"$work/said" || status=$?
  case " ${words[*]} " in
    *" --device "*)
      expect "${words[*]}: refused as a device" 64 $status
      ok "${words[*]}: no usage error" eval '! grep -q "^usage:" "$work/said"' ;;
    *) expect "${words[*]}" 0 $status ;;
  esac
done <"$work/examples"
report
