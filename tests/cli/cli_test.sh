#!/usr/bin/env bash
# qlupdate as scripts use it: exit statuses, files left behind, bytes on the
# target. Usage: cli_test.sh [RUNNER QLUPDATE QLUPDATE_TEST | QLUPDATE]: RUNNER
# runs a Windows build, QLUPDATE_TEST is the tool on the test build's drives.
set -uo pipefail
if [ $# -ge 2 ]; then runner=("$1"); Q=$2; QT=${3:-}; else runner=(); Q=$1; QT=; fi
windows=0; [ ${#runner[@]} -gt 0 ] && windows=1
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
cd "$work"
q() { "${runner[@]}" "$Q" "$@"; }
# What the tool said on a stream, as text: under Wine the messages come out
# in the console's code page (CP932) with CRLF line ends.
said() {
  { cat "$1"; if [ $windows -eq 1 ]; then iconv -f CP932 -t UTF-8 <"$1" 2>/dev/null; fi; } | tr -d '\r'
}

card old.img 8
card new.img 8
head -c $((8 << 20)) /dev/urandom | dd of=new.img bs=1M seek=9 conv=notrunc status=none
root_offset=$((18432 * 512)) root_size=$((8 << 20))

# Usage errors are 64 and say how to call.
q >/dev/null 2>&1; expect "no arguments" 64 $?
q frobnicate x >/dev/null 2>&1; expect "unknown command" 64 $?
q apply only-one >/dev/null 2>&1; expect "apply without target" 64 $?
q apply u.qlu t.img --bogus >/dev/null 2>&1; expect "unknown option" 64 $?
# Into files: a grep -q that stops reading early closes the pipe, and the
# tool rightly fails output that never arrived.
q --help >help.txt; expect "help exits 0" 0 $?
grep -q "qlupdate make" help.txt; expect "help text" 0 $?
grep -q "^  130  interrupted" help.txt; expect "help lists exit statuses" 0 $?
q --version >version.txt; expect "version exits 0" 0 $?
grep -qx "qlupdate [0-9]*[.][0-9]*[.][0-9]*.\?" version.txt; expect "version on stdout" 0 $?

# make refuses a card that fails the layout rule, and leaves no file.
truncate -s 4M blank.img
q make blank.img bad.qlu >out.txt 2>&1; expect "make on a blank card" 1 $?
ok "no update file from a blank card" [ ! -e bad.qlu ]
grep -q "partition 0 start sector (0) over end sector (0)" out.txt; expect "layout rule shown" 0 $?

q make new.img u.qlu >out.txt 2>err.txt; expect "make" 0 $?
ok "make says nothing on stdout" [ ! -s out.txt ]
grep -q "^made u.qlu" err.txt; expect "make's verdict on stderr" 0 $?
ok "make leaves only the update file" [ -z "$(ls | grep -E '[.](part|payload)$')" ]

# make refuses, before writing anything, an output that is its input under
# any name, and one that is no regular file.
cp new.img same.img
ln -s same.img link.img
ln same.img hard.img
same=$(sha same.img 0)
spellings="same.img ./same.img link.img hard.img"
[ $windows -eq 1 ] && spellings="$spellings SAME.IMG"
for out in $spellings; do
  q make same.img $out >out.txt 2>&1; status=$?
  expect "make onto its input as $out" 64 $status
  [ $status = 64 ] || said out.txt >&2  # what it said instead
done
grep -q "is the card image same.img itself" out.txt; expect "same file named" 0 $?
ok "input intact after make onto itself" [ "$same" = "$(sha same.img 0)" ]
mkdir folder.qlu
q make new.img folder.qlu >/dev/null 2>&1; expect "make onto a folder" 64 $?
if mknod device.qlu c 1 7 2>/dev/null; then  # as /dev/full
  q make new.img device.qlu >/dev/null 2>&1; expect "make onto a device" 64 $?
  ok "device node kept" [ -c device.qlu ]
fi
# An existing file is replaced only by a whole new one.
echo keep >keep.qlu
q make new.img keep.qlu >/dev/null 2>&1; expect "make over an existing file" 0 $?
q inspect keep.qlu >/dev/null; expect "replaced file is whole" 0 $?
q inspect u.qlu >out.txt; expect "inspect update file" 0 $?
grep -q "root offset  $root_offset" out.txt; expect "inspect shows the offset" 0 $?
q inspect old.img >/dev/null; expect "inspect valid card" 0 $?
q inspect blank.img >/dev/null; expect "inspect blank card" 1 $?

# A damaged payload: inspect and apply both refuse it; the target is untouched.
cp u.qlu broken.qlu
# Flip the byte: writing a fixed one leaves the file sound when it already holds it.
byte=$(od -An -tu1 -j5000 -N1 broken.qlu | tr -d ' ')
printf "\\$(printf %o $((byte ^ 255)))" | dd of=broken.qlu bs=1 seek=5000 conv=notrunc status=none
q inspect broken.qlu >/dev/null; expect "inspect broken payload" 1 $?
before=$(sha old.img 0)
q apply broken.qlu old.img >out.txt 2>err.txt; expect "apply broken payload" 2 $?
ok "failure verdict not on stdout" [ ! -s out.txt ]
said err.txt | grep -q "アップデートファイルが壊れています"; expect "failure verdict on stderr" 0 $?
grep -q "^the update file is damaged: its payload's SHA-256 is [0-9a-f]\{64\}, the header says" err.txt
expect "reason names both digests" 0 $?
ok "target untouched after a broken file" [ "$before" = "$(sha old.img 0)" ]
# Where the terminal's codeset (the console's code page) has no Japanese,
# the message is in English.
LC_ALL=C QUILLON_WINE_LOCALE=C.UTF-8 q apply broken.qlu old.img 2>err.txt
expect "apply broken payload, no Japanese" 2 $?
grep -q "^The update file is damaged[.]" err.txt; expect "the message in English" 0 $?

# A card whose root partition is elsewhere is not this system's.
card other.img 16
q apply u.qlu other.img >/dev/null 2>err.txt; expect "apply to a different layout" 1 $?
grep -q "^the card's root partition holds 16777216 bytes, the update file carries 8388608" err.txt
expect "reason names both sizes" 0 $?
q apply missing.qlu old.img >out.txt 2>err.txt; expect "apply a missing file" 2 $?
grep -q "missing.qlu: the update file does not exist" err.txt; expect "missing file named" 0 $?
said err.txt | grep -q "アップデートファイルが壊れています"; expect "missing file not called broken" 1 $?

# Success: the root partition equals the new one, the rest is unchanged.
head_before=$(sha old.img 0 $root_offset)
tail_before=$(sha old.img $((root_offset + root_size)))
q apply u.qlu old.img >out.txt 2>err.txt; expect "apply" 0 $?
ok "root partition rewritten" [ "$(sha old.img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ]
ok "MBR and boot partition unchanged" [ "$head_before" = "$(sha old.img 0 $root_offset)" ]
ok "bytes after root unchanged" [ "$tail_before" = "$(sha old.img $((root_offset + root_size)))" ]
ok "temporary file removed" [ -z "$(ls u.qlu.*.tmp 2>/dev/null)" ]
grep -q "writing\|done" err.txt; expect "progress on stderr" 0 $?
ok "success verdict not on stdout" [ ! -s out.txt ]
said err.txt | grep -q "アップデート処理が完了しました"; expect "success verdict on stderr" 0 $?
# On a pipe each phase starts one line and a short run adds none; the
# terminal's carriage returns never reach a log.
ok "no carriage returns when piped" [ -z "$(sed 's/\r$//' err.txt | tr -dc '\r')" ]
ok "one line per phase when piped" [ -z "$(tr -d '\r' <err.txt | grep -a '^[a-z]' | cut -c1-22 | sort | uniq -d)" ]
q --verbose apply u.qlu old.img >out.txt 2>err.txt; expect "apply again, verbose" 8 $?
grep -q "rootcopy : target already holds the update" out.txt; expect "verbose shows the log" 0 $?
grep -q "already up to date" err.txt; expect "second apply says up to date" 0 $?
ok "temporary file removed after up to date" [ -z "$(ls u.qlu.*.tmp 2>/dev/null)" ]
# Only the pieces that differ are written, and the verdict says how much was kept.
cp new.img part.img
printf 'x' | dd of=part.img bs=1 seek=$((root_offset + (5 << 20))) conv=notrunc status=none
q apply u.qlu part.img >/dev/null 2>err.txt; expect "apply to a card that differs in one piece" 0 $?
tr -d '\r' <err.txt | grep -q "^wrote 4.0 MiB of 8.0 MiB; 4.0 MiB were already on the card"
expect "the pieces already on the card are named" 0 $?
ok "that card holds the new root" [ "$(sha part.img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ]
# The written root is read back and compared, unless --no-verify.
card fresh.img 8
q --verbose apply u.qlu fresh.img >out.txt 2>/dev/null; expect "apply to a fresh card" 0 $?
grep -q "rootcopy : verify pieces read back 2, bytes 8388608, equal to the unpacked root" out.txt; expect "both pieces read back and equal" 0 $?
card skip.img 8
q --verbose apply --no-verify u.qlu skip.img >out.txt 2>/dev/null; expect "apply --no-verify" 0 $?
grep -q "rootcopy : verify" out.txt; expect "--no-verify reads nothing back" 1 $?

if [ $windows -eq 0 ]; then
  # Ctrl+C stops the update and exits 130 with the terminal on a fresh line.
  card big-old.img 256
  card big-new.img 256
  head -c $((256 << 20)) /dev/urandom | dd of=big-new.img bs=1M seek=9 conv=notrunc status=none
  q make big-new.img big.qlu >/dev/null 2>err.txt
  grep -q "^compressing .* of 256.0 MiB, payload " err.txt; expect "make counts the root it packs" 0 $?
  big_head=$(sha big-old.img 0 $root_offset)
  "$Q" apply big.qlu big-old.img >/dev/null 2>&1 &
  pid=$!
  sleep 0.3
  kill -INT $pid
  wait $pid; expect "interrupted apply" 130 $?
  ok "boot partition untouched after interrupt" [ "$big_head" = "$(sha big-old.img 0 $root_offset)" ]
  q apply big.qlu big-old.img >/dev/null 2>err.txt; expect "apply after an interrupt" 0 $?
  grep -q "^writing .* of 256.0 MiB" err.txt; expect "apply counts the bytes it writes" 0 $?
  # Killed while unpacking: the system takes the temporary file away.
  "$Q" apply big.qlu big-new.img >/dev/null 2>&1 &
  pid=$!
  sleep 0.3
  kill -KILL $pid; wait $pid 2>/dev/null
  ok "nothing left by a killed apply" [ -z "$(ls | grep -E '[.]tmp$')" ]
  # Ctrl+C during make: the earlier update file stays, nothing else is left.
  cp u.qlu big2.qlu
  "$Q" make big-new.img big2.qlu >/dev/null 2>&1 &
  pid=$!
  sleep 0.3
  kill -INT $pid
  wait $pid; expect "interrupted make" 130 $?
  ok "earlier file kept after interrupted make" cmp -s u.qlu big2.qlu
  ok "nothing left by interrupted make" [ -z "$(ls | grep -E '[.](part|payload)$')" ]
  # A write that fails (here past a file size limit just above the payload)
  # keeps the file that was there.
  payload=$(($(stat -c %s u.qlu) - 104))
  echo keep >keep.qlu
  (trap '' XFSZ; prlimit --fsize=$((payload + 50)) "$Q" make new.img keep.qlu >/dev/null 2>&1)
  expect "make that cannot write" 1 $?
  ok "existing file kept when make fails" [ "$(cat keep.qlu)" = keep ]
  ok "nothing left by failed make" [ -z "$(ls | grep -E '[.](part|payload)$')" ]
  # No drive letter is removable here, so none is accepted.
  q apply u.qlu --drive E: >out.txt 2>&1; expect "apply to a drive letter on Linux" 64 $?
else
  # The prefix's D: is fixed, E: removable (but no physical drive under Wine).
  q apply u.qlu --drive D: >out.txt 2>&1; expect "apply to a fixed drive" 64 $?
  grep -q "D: is not a card reader's drive" out.txt; expect "fixed drive named" 0 $?
  q apply u.qlu --drive E: >/dev/null 2>&1; expect "apply to a removable drive" 64 $?
fi
q apply u.qlu --drive E:x >/dev/null 2>&1; expect "apply to a drive string" 64 $?

if [ -n "$QT" ]; then
  # apply --drive on the test build's drives, each modelled as Windows
  # documents its disks: status, the card's bytes and what the user is told.
  qt() { "${runner[@]}" "$QT" "$@"; }
  winpath() { printf 'Z:%s' "$PWD/$1" | tr / '\\'; }
  # The same card on a disk of 4096-byte sectors, whose MBR counts in them.
  le32() { local v; for v; do printf "$(printf '\\%03o' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))"; done; }
  card4k() {  # image root-MiB
    card "$1" "$2"
    le32 256 2048 | dd of="$1" bs=1 seek=454 conv=notrunc status=none
    le32 2304 $(($2 * 256)) | dd of="$1" bs=1 seek=470 conv=notrunc status=none
  }
  card drive.img 8
  export QUILLON_TEST_DRIVES="E=$(winpath drive.img)"
  qt apply u.qlu --drive G: >/dev/null 2>&1; expect "drive not in the list" 64 $?
  mkdir -p oncard && cp u.qlu oncard/u.qlu
  for sector in 512 4096; do
  make=card sized=""; [ $sector = 4096 ] && make=card4k sized="|sector=4096"
  rm -f other.img && $make other.img 8
  other_before=$(sha other.img 0)
  # flags | status | the root ends rewritten (1), untouched (0), part-written (p) or not looked at (-) | words
  while IFS='|' read -r flags status updated words; do
    rm -f drive.img && $make drive.img 8
    before=$(sha drive.img 0) head=$(sha drive.img 0 $root_offset)
    update=u.qlu; [ "$flags" = "files" ] && update=oncard/u.qlu
    case $flags in
      files) extra="|files=$(winpath oncard)" ;;
      swap) extra="|swap=$(winpath other.img)" ;;
      replaced)  # by a card of the same bytes: only the reader's count tells
        cp drive.img other.img && other_before=$(sha other.img 0)
        extra="|replaced=$(winpath other.img)" ;;
      huge) extra="|fixed"; truncate -s 3T drive.img ;;  # a USB hard disk, sparse
      none) extra="" ;;
      *) extra="|${flags//+/|}" ;;
    esac
    export QUILLON_TEST_DRIVES="E=$(winpath drive.img)$sized$extra"
    name="drive $flags ($sector-byte sectors)"
    qt --verbose apply "$update" --drive e >out.txt 2>&1; expect "$name" "$status" $?
    case $updated in
      1) ok "$name: root rewritten" [ "$(sha drive.img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ] ;;
      0) ok "$name: card untouched" [ "$before" = "$(sha drive.img 0)" ] ;;
    esac
    ok "$name: nothing outside the root written" [ "$head" = "$(sha drive.img 0 $root_offset)" ]
    said out.txt >said.txt; grep -qF "$words" said.txt; expect "$name: says \"$words\"" 0 $?
  done <<'CASES'
none|0|1|apply success
locked|0|1|lies outside the root partition; the update goes on
rootbusy|0|1|locked and dismounted
rootlocked|9|0|カードが他のプログラムで使用されているため
rootnodismount|9|0|in use by another program (system error 5
readonly|10|0|the card is write-protected (its LOCK switch); nothing was written
silentreadonly|10|0|the first write was refused; nothing was written
pullread=0|12|0|SDカードを読み取れませんでした。
pullread=1|12|0|before anything was written
replaced|12|0|the card was removed or replaced after it was checked; nothing was written
pull=1|5|p|the card was removed
swap|0|1|apply success
files|11|0|アップデートファイルが、アップデートするメディアの中にあります。
fixed|0|1|is Quillon Test Drive on the USB bus
fixed+sata|64|0|E: is not a card reader's drive
fixed+system|64|0|E: is not a card reader's drive
fixed+program|64|0|E: is not a card reader's drive
huge|64|-|E: is not a card reader's drive
empty|64|0|holds no card
denied|64|0|command prompt started as administrator
fixed+denied|64|0|command prompt started as administrator
diskbusy|0|1|apply success
diskheld|64|0|another program holds the disk of e (
CASES
  ok "the disk that took the card's number untouched ($sector-byte sectors)" [ "$other_before" = "$(sha other.img 0)" ]
  done
  unset QUILLON_TEST_DRIVES
fi

report
