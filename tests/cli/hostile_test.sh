#!/usr/bin/env bash
# qlupdate against what a Linux desktop can throw at it: every kind of file
# where a path is expected, odd arguments, signals and closed standard
# streams. One line a case; each says the status and a word of the reason.
# Usage: hostile_test.sh QLUPDATE
set -uo pipefail
export Q=$(realpath "$1")
work=$(mktemp -d); trap 'umount "$work/ro" 2>/dev/null; rm -rf "$work"' EXIT
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

# A header sealed with a correct CRC around any root and payload.
craft() {  # file offset size payload-file
  python3 - "$@" <<'PY'
import hashlib, struct, sys, zlib
out, offset, size, payload = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0), open(sys.argv[4], 'rb').read()
h = bytearray(b'QLUPD\0\x01\x01' + bytes(96))
h[16:] = struct.pack('<H6xQQ32s32s', 0, offset, size, hashlib.sha256(payload).digest(), bytes(32))
h[12:16] = struct.pack('<I', zlib.crc32(bytes(h[16:])))
x = 0x3B5E17A4
for p in range(12, 104):
    x ^= (x << 13) & 0xFFFFFFFF; x ^= x >> 17; x ^= (x << 5) & 0xFFFFFFFF
    h[p] ^= x & 0xFF
open(out, 'wb').write(bytes(h) + payload)
PY
}
zlib_of() { python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read()))'; }
dd if=new.img bs=1M skip=9 count=8 status=none | zlib_of >root.z
head -c 1000 /dev/zero | zlib_of >tiny.z
head -c 8192 /dev/zero | zlib_of >small.z
head -c 5000 /dev/urandom >junk.bin
: >empty.bin
craft unaligned.qlu $((root_offset + 1)) $root_size root.z
craft zero.qlu $root_offset 0 root.z
craft inmbr.qlu 0 $root_size root.z
craft wrap.qlu 0x8000000000000000 0x8000000000000000 root.z
craft absurd.qlu $root_offset 0xFFFFFFFFFFFFFE00 root.z
craft junk.qlu $root_offset $root_size junk.bin
craft short.qlu $root_offset $((40 << 20)) tiny.z
craft empty.qlu $root_offset $root_size empty.bin
craft small.qlu $root_offset 8192 small.z
# Root entries of other kinds, and an entry 2 over the root (sectors 20000-20100).
for t in 00 05 0f 85 ee; do
  cp old.img type$t.img
  printf "\\x$t" | dd of=type$t.img bs=1 seek=$((446 + 16 + 4)) conv=notrunc status=none
done
cp old.img over.img
printf '\x83\0\0\0\x20\x4e\0\0\x64\0\0\0' | dd of=over.img bs=1 seek=$((446 + 32 + 4)) conv=notrunc status=none
# Runs a command in a cgroup of its own whose processes and threads may be at
# most MAX; 77 (skipped) where there is no pids controller to use.
pids() {  # max command...
  local g=/sys/fs/cgroup/pids/qlupdate-test-$$-$RANDOM s
  { mkdir "$g" && echo "$1" >"$g/pids.max"; } 2>/dev/null || return 77
  shift
  # LeakSanitizer's check at exit needs a thread of its own.
  (echo $BASHPID >"$g/cgroup.procs" &&
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec "$@"); s=$?
  rmdir "$g"
  return $s
}
# The update file in a read-only folder on a volume with room (root only).
ro_folder() {
  mkdir -p ro && { mountpoint -q ro || mount -t tmpfs -o size=8g tmpfs ro 2>/dev/null; } || return 77
  cp u.qlu ro/ && mount -o remount,ro ro
}
dead_pid() { sh -c : & local d=$!; wait $d; echo $d; }
# At most N descriptors, of which only the standard three are open. 77
# (skipped) for a sanitizer's build, whose runtime needs descriptors itself.
sanitized=0
case $(ldd "$Q" 2>/dev/null) in *libasan* | *libubsan* | *libtsan*) sanitized=1 ;; esac
export sanitized
few_fds() {  # n command...
  local n=$1 fd
  shift
  [ "$sanitized" = 1 ] && return 77
  (
    for fd in $(ls /proc/$BASHPID/fd); do [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null; done
    exec prlimit --nofile="$n" "$@"
  )
}

fresh() { rm -f "$1"; card "$1" 8 >/dev/null; }
export -f fresh card sha pids ro_folder dead_pid few_fds

# name | status | text on stdout or stderr | command (a fresh t.img each)
while IFS='|' read -r name status text command; do
  [ -z "$name" ] && continue
  fresh t.img
  timeout -k 5 30 bash -c "$command" >out.txt 2>err.txt; got=$?
  [ $got -eq 77 ] && { echo "SKIP: $name (not allowed here)"; continue; }
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
limits: a file-size limit for make|1|File too large|prlimit --fsize=$((1 << 20)) "$Q" make new.img x.qlu
limits: too few descriptors for apply|13|Too many open files|few_fds 4 "$Q" apply u.qlu t.img
limits: too few descriptors for make|13|Too many open files|few_fds 4 "$Q" make new.img x.qlu
limits: no thread for apply|13|gave no thread for the update|pids 1 "$Q" apply u.qlu t.img
limits: no thread for make, which needs none|0||pids 1 "$Q" make new.img x.qlu && [ -s x.qlu ]
inspect: root not on a sector|1|(not on a 512-byte sector)|"$Q" inspect unaligned.qlu
inspect: root of 0 bytes|1|root         INVALID: the update file's header is damaged: its root partition holds no bytes|"$Q" inspect zero.qlu
inspect: root over the MBR|1|inside the MBR|"$Q" inspect inmbr.qlu
inspect: root past 2^64|1|ends past the 35184372088832 bytes an MBR can describe|"$Q" inspect wrap.qlu
inspect: payload not zlib|1|payload data INVALID: not zlib data|"$Q" inspect junk.qlu
inspect: 1000 bytes for 40 MiB|1|inflates to 1000 bytes; the header says 41943040|"$Q" inspect short.qlu
inspect: no payload|1|payload data INVALID: there is none|"$Q" inspect empty.qlu
inspect: a root of 8 KiB|0|root size    8192 (8.0 KiB)|"$Q" inspect small.qlu
inspect: the payload inflated|0|payload data inflates to the root's 8388608 bytes|"$Q" inspect u.qlu
apply: root not on a sector|2|is not whole 512-byte sectors|"$Q" apply unaligned.qlu t.img
apply: a size near 2^64 is no lack of space|2|ends past the|"$Q" apply absurd.qlu t.img
layout: inspect, root entry empty (00)|1|has type 00: the entry is empty|"$Q" inspect type00.img
layout: inspect, root entry extended (05)|1|has type 05: it is an extended partition|"$Q" inspect type05.img
layout: inspect, root entry extended (0F)|1|has type 0F|"$Q" inspect type0f.img
layout: inspect, root entry extended (85)|1|has type 85|"$Q" inspect type85.img
layout: inspect, root entry of a GPT (EE)|1|has type EE|"$Q" inspect typeee.img
layout: inspect, an entry over the root|1|partition 2 (sectors 20000 to 20100) overlaps partition 1|"$Q" inspect over.img
layout: make, root entry extended|1|has type 05|"$Q" make type05.img x.qlu
layout: make, an entry over the root|1|partition 2 (sectors 20000 to 20100) overlaps|"$Q" make over.img x.qlu
layout: apply, root entry empty|1|has type 00: the entry is empty|cp type00.img a.img && "$Q" apply u.qlu a.img
layout: apply, an entry over the root|1|partition 2 (sectors 20000 to 20100) overlaps|cp over.img a.img && "$Q" apply u.qlu a.img
words: the target image is missing|64|missing.img: the target image does not exist|"$Q" apply u.qlu missing.img
words: the card image is missing|1|the card image missing.img does not exist|"$Q" make missing.img x.qlu
words: make shows the compression|0|compressing            |"$Q" make new.img x.qlu
words: a read-only folder says where to copy|6|copy the update file to a folder you can write to on a drive with 4 GiB free|ro_folder && "$Q" apply ro/u.qlu t.img
words: under LC_ALL=C in English|2|The update file is damaged.|LC_ALL=C "$Q" apply header.qlu t.img
words: in an EUC-JP terminal|2|アップデートファイルが壊れています|LC_ALL=ja_JP.eucJP "$Q" apply header.qlu t.img 2>e.txt; s=$?; iconv -f EUC-JP -t UTF-8 e.txt; exit $s
make: a killed run's leftovers go|0||d=$(dead_pid) && touch x.qlu.$d-0.part x.qlu.$d-1.payload && "$Q" make new.img x.qlu && [ -z "$(ls x.qlu.* 2>/dev/null)" ]
streams: inspect onto a full disk|1|the output could not be written: No space left on device|"$Q" inspect u.qlu >/dev/full
streams: --help onto a full disk|1|the output could not be written|"$Q" --help >/dev/full
streams: --version onto a full disk|1|the output could not be written|"$Q" --version >/dev/full
CASES
# Short of memory anywhere: the resource's code or success, never another
# code or a crash. (AddressSanitizer reserves terabytes of address space:
# its builds are not run so.)
[ $sanitized = 1 ] && echo "SKIP: address-space limits under a sanitizer"
[ $sanitized = 1 ] || for mib in 24 32 40 48 56; do
  for command in "apply u.qlu t.img" "make new.img x.qlu" "inspect u.qlu"; do
    fresh t.img; rm -f x.qlu
    prlimit --as=$((mib << 20)) "$Q" $command >/dev/null 2>err.txt; got=$?
    ok "$mib MiB of memory: $command ends 0 or 13 (got $got)" [ $got -eq 0 -o $got -eq 13 ]
  done
done
[ $has_socket -eq 1 ] && { "$Q" apply sock.qlu old.img 2>err.txt; expect "apply: a socket" 2 $?; grep -q "a socket" err.txt; expect "apply: a socket named" 0 $?; }

# Stopped by a signal as by Ctrl+C: 130, nothing left beside the update
# file, and the words say what is on the card.
card big-new.img 256
head -c $((256 << 20)) /dev/urandom | dd of=big-new.img bs=1M seek=9 conv=notrunc status=none
"$Q" make big-new.img big.qlu 2>/dev/null
# A card image rewritten while make reads it (stopped, two ranges written,
# continued) gives no update file.
cp big-new.img torn.img
"$Q" make torn.img torn.qlu 2>err.txt &
pid=$!; sleep 0.3; kill -STOP $pid
for at in 20 200; do dd if=/dev/urandom of=torn.img bs=1M seek=$at count=1 conv=notrunc status=none; done
kill -CONT $pid; wait $pid; expect "make of an image rewritten meanwhile" 1 $?
grep -q "changed while it was read" err.txt; expect "make says the image changed" 0 $?
ok "no update file from a torn read" [ ! -e torn.qlu ]
# Killed outright, make leaves no file at all.
"$Q" make big-new.img killed.qlu 2>/dev/null &
pid=$!; sleep 0.5; kill -KILL $pid; wait $pid 2>/dev/null
ok "make killed leaves nothing" [ -z "$(ls | grep '^killed[.]qlu')" ]
# Two applies on one image: the second is refused while the first holds it.
rm -f held.img; card held.img 256
"$Q" apply big.qlu held.img --no-verify 2>first.txt &
pid=$!
for _ in $(seq 200); do grep -q "verifying the file\|unpacking" first.txt && break; sleep 0.05; done
"$Q" apply big.qlu held.img --no-verify 2>err.txt; expect "a second apply on a held image" 9 $?
grep -q "held.img is being written by another update or program" err.txt; expect "the second names the image" 0 $?
wait $pid; expect "the first apply goes on" 0 $?
ok "the image holds the update" [ "$(sha held.img $root_offset $((256 << 20)))" = "$(sha big-new.img $root_offset $((256 << 20)))" ]

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
