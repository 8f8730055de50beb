#!/usr/bin/env bash
# qlupdate against what a Linux desktop can throw at it: every kind of file
# where a path is expected, odd arguments, signals and closed standard
# streams. One line a case; each says the status and a word of the reason.
# Usage: hostile_test.sh QLUPDATE
set -uo pipefail
export Q=$(realpath "$1")
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
cd "$work"

card new.img 8
head -c $((8 << 20)) /dev/urandom | dd of=new.img bs=1M seek=9 conv=notrunc status=none
"$Q" make new.img u.qlu 2>/dev/null || { echo "FAIL: make"; exit 1; }
export root_offset=$((18432 * 512)) root_size=$((8 << 20))
export new_root=$(sha new.img $root_offset $root_size)
card old.img 8
mkdir dir.qlu
truncate -s 4M blank.img
mkfifo fifo.qlu
ln -s u.qlu link.qlu
cp u.qlu ./-dash.qlu
has_socket=0
if command -v python3 >/dev/null; then
  python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("sock.qlu")' && has_socket=1
fi
# A folder path of about 1100 bytes, far past Windows' 260.
long=.
for i in $(seq 20); do long=$long/$(printf 'folder%02d-%046d' $i 0); done
mkdir -p "$long" && cp u.qlu "$long/u.qlu"
export long
# A GPT disk, a card without its MBR signature, a damaged header, and an
# entry whose exclusive end is sector 2^32.
truncate -s 8M gpt.img
printf 'label: gpt\nstart=2048, size=4096\n' | sfdisk --quiet --no-reread --no-tell-kernel gpt.img >/dev/null
cp old.img nosig.img
printf '\0\0' | dd of=nosig.img bs=1 seek=510 conv=notrunc status=none
cp u.qlu header.qlu
printf '\x5a' | dd of=header.qlu bs=1 seek=40 conv=notrunc status=none
cp old.img edge.img
# Entry 1: start 4294967040, 256 sectors (little-endian).
printf '\x00\xff\xff\xff\x00\x01\x00\x00' | dd of=edge.img bs=1 seek=$((446 + 16 + 8)) conv=notrunc status=none

fresh() { rm -f "$1"; card "$1" 8 >/dev/null; }
export -f fresh card sha

# name | status | text on stdout or stderr | command (a fresh t.img each)
while IFS='|' read -r name status text command; do
  [ -z "$name" ] && continue
  fresh t.img
  timeout -k 5 30 bash -c "$command" >out.txt 2>err.txt; got=$?
  expect "$name" "$status" $got
  if [ -n "$text" ]; then
    grep -qF -- "$text" out.txt err.txt; expect "$name: \"$text\"" 0 $?
  fi
done <<'CASES'
apply: a directory|2|is a directory|"$Q" apply dir.qlu t.img
apply: a FIFO|2|a FIFO|"$Q" apply fifo.qlu t.img
apply: a pipe from the shell|2|a FIFO|"$Q" apply <(cat u.qlu) t.img
apply: a character device|2|a character device|"$Q" apply /dev/null t.img
apply: a symbolic link|0||"$Q" apply link.qlu t.img
apply: a path of 1100 bytes|0||"$Q" apply "$long/u.qlu" t.img
apply: after --, a name with a dash|0||"$Q" apply -- -dash.qlu t.img
apply: target a directory|64|is a directory|"$Q" apply u.qlu dir.qlu
apply: target a FIFO|64|a FIFO|"$Q" apply u.qlu fifo.qlu
apply: target a character device|64|a character device|"$Q" apply u.qlu /dev/zero
apply: target without MBR signature|1|no MBR signature|"$Q" apply u.qlu nosig.img
apply: damaged header|2|CRC|"$Q" apply header.qlu t.img
make: card a FIFO|1|a FIFO|"$Q" make fifo.qlu out.qlu
make: card a directory|1|a directory|"$Q" make dir.qlu out.qlu
make: output a FIFO|64|not a regular file|"$Q" make new.img fifo.qlu
make: the reason on stderr|1|partition 0 start sector (0) over end sector (0)|"$Q" make blank.img out.qlu 2>&1 >/dev/null
inspect: a FIFO|1|a FIFO|"$Q" inspect fifo.qlu
inspect: a directory|1|a directory|"$Q" inspect dir.qlu
inspect: a path of 1100 bytes|0|CRC ok|"$Q" inspect "$long/u.qlu"
inspect: a GPT disk|1|GPT disk|"$Q" inspect gpt.img
inspect: no MBR signature|1|no MBR signature|"$Q" inspect nosig.img
inspect: a damaged header|1|header       INVALID: |"$Q" inspect header.qlu
inspect: an entry ending at 2^32|1|4294967296|"$Q" inspect edge.img
args: a second --device|64|--device is given twice|"$Q" apply u.qlu --device /dev/loop0 --device /dev/loop1
args: --drive on Linux|64|--drive names a Windows drive letter|"$Q" apply u.qlu --drive E:
args: an option make does not take|64|--no-verify does not go with make|"$Q" make --no-verify new.img x.qlu
args: --unmount without --device|64|go with --device|"$Q" apply --unmount u.qlu t.img
args: usage names --device|64|--device /dev/sdX|"$Q"
streams: standard output closed|0||"$Q" --verbose apply u.qlu t.img >&- && [ "$(sha t.img $root_offset $root_size)" = "$new_root" ] || exit 9
streams: all three closed|0||"$Q" --verbose apply u.qlu t.img <&- >&- 2>&- && [ "$(sha t.img $root_offset $root_size)" = "$new_root" ] || exit 9
limits: a file-size limit|6|File too large|prlimit --fsize=$((1 << 20)) "$Q" apply u.qlu t.img
CASES
[ $has_socket -eq 1 ] && { "$Q" apply sock.qlu old.img 2>err.txt; expect "apply: a socket" 2 $?; grep -q "a socket" err.txt; expect "apply: a socket named" 0 $?; }

# Stopped by a signal as by Ctrl+C: 130, nothing left beside the update
# file, and the words say what is on the card.
card big-new.img 256
head -c $((256 << 20)) /dev/urandom | dd of=big-new.img bs=1M seek=9 conv=notrunc status=none
"$Q" make big-new.img big.qlu 2>/dev/null
for sig in TERM HUP INT; do
  for delay in 0.1 1.0; do
    rm -f big-old.img; card big-old.img 256
    before=$(sha big-old.img $root_offset $((256 << 20)))
    "$Q" apply big.qlu big-old.img 2>err.txt &
    pid=$!; sleep $delay; kill -$sig $pid; wait $pid; got=$?
    [ $got -eq 0 ] && continue  # done before the signal came
    expect "apply stopped by SIG$sig" 130 $got
    ok "nothing left by SIG$sig" [ -z "$(ls | grep -E '[.]tmp$')" ]
    if grep -q "card is unchanged" err.txt; then
      ok "SIG$sig: an unchanged card is unchanged" [ "$before" = "$(sha big-old.img $root_offset $((256 << 20)))" ]
    else
      grep -q "root partition is incomplete\|not verified" err.txt; expect "SIG$sig: the words for a written card" 0 $?
    fi
  done
  cp u.qlu keep.qlu
  "$Q" make big-new.img keep.qlu 2>/dev/null &
  pid=$!; sleep 0.2; kill -$sig $pid; wait $pid; got=$?
  if [ $got -ne 0 ]; then
    expect "make stopped by SIG$sig" 130 $got
    ok "SIG$sig: the earlier file kept" cmp -s u.qlu keep.qlu
    ok "SIG$sig: nothing left by make" [ -z "$(ls | grep -E '[.](part|payload)$')" ]
  fi
done
report
