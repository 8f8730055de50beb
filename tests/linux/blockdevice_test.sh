#!/usr/bin/env bash
# qlupdate apply --device on loop devices: which disks it refuses, and that a
# card it accepts gets only its root partition rewritten. Needs root and
# losetup; skips (exit 77) where the machine allows neither.
# Usage: blockdevice_test.sh QLUPDATE
set -uo pipefail
Q=$(realpath "$1")
work=$(mktemp -d)
loops=()
cleanup() {
  for mp in "$work"/mnt*; do mountpoint -q "$mp" 2>/dev/null && umount "$mp"; done
  for d in "${loops[@]}"; do losetup -d "$d"; done
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
cd "$work"
not() { ! "$@"; }
attach() {  # image: sets dev to its loop device, with its partition nodes
  dev=$(losetup -f --show -P "$1" 2>/dev/null) || return 1
  loops+=("$dev")
  # Without udev the partition nodes may need asking for.
  [ -b "${dev}p2" ] || partx -a "$dev" 2>/dev/null
  return 0
}

card new.img 8
head -c $((8 << 20)) /dev/urandom | dd of=new.img bs=1M seek=9 conv=notrunc status=none
"$Q" make new.img u.qlu >/dev/null 2>&1 || { echo "FAIL: make"; exit 1; }
root_offset=$((18432 * 512)) root_size=$((8 << 20))

card card.img 8
if [ "$(id -u)" != 0 ] || ! attach card.img; then
  echo "SKIP: loop devices are not allowed here (needs root and losetup)"
  exit 77
fi
head_before=$(sha card.img 0 $root_offset)
tail_before=$(sha card.img $((root_offset + root_size)))
all_before=$(sha card.img 0)

# Loop devices report removable 0: refused unless --any-device.
"$Q" apply u.qlu --device "$dev" >out.txt 2>&1; expect "loop device refused" 64 $?
grep -q "is not a removable, USB or MMC disk" out.txt; expect "refusal says why" 0 $?
"$Q" drives >out.txt 2>&1; expect "drives" 0 $?
ok "loop device not listed as a card" not grep -q "^$dev " out.txt
# A partition is no card.
if [ -b "${dev}p1" ]; then
  "$Q" apply u.qlu --device "${dev}p1" --any-device >out.txt 2>&1; expect "partition refused" 64 $?
  grep -q "is a partition; give the whole card, $dev" out.txt; expect "partition named" 0 $?
else
  echo "SKIP: no partition nodes for $dev; partition and mount cases not run"
fi
# Neither is a regular file named as a device.
"$Q" apply u.qlu --device card.img --any-device >/dev/null 2>&1; expect "file as device" 64 $?
ok "card untouched by refusals" [ "$all_before" = "$(sha card.img 0)" ]

# The drive path's layout checks hold on a device: a blank disk, and a card
# whose root partition ends past the end of the disk, are refused (code 1).
card_dev=$dev
truncate -s 20M blank.img
card short.img 8
truncate -s 12M short.img
for img in blank.img short.img; do
  before=$(sha $img 0)
  if attach $img; then
    "$Q" --verbose apply u.qlu --device "$dev" --any-device >out-$img.txt 2>&1
    expect "layout of $img refused" 1 $?
    ok "$img untouched" [ "$before" = "$(sha $img 0)" ]
  fi
done
grep -q "root partition ends at $((18432 * 512 + (8 << 20))) beyond the medium $((12 << 20))" \
  out-short.img.txt; expect "disk size from the kernel" 0 $?
dev=$card_dev

# A mounted partition is refused; --unmount fails cleanly while it is busy,
# and unmounts it otherwise.
if [ -b "${dev}p1" ] && mkfs.ext2 -q "${dev}p1" 2>/dev/null && mkdir mnt1 &&
  mount "${dev}p1" mnt1 2>/dev/null; then
  mbr_before=$(sha "$dev" 0 512)
  "$Q" apply u.qlu --device "$dev" --any-device >out.txt 2>&1; expect "mounted refused" 64 $?
  grep -q "is mounted on $work/mnt1" out.txt; expect "mount point named" 0 $?
  exec 9<mnt1/lost+found
  (cd mnt1 && sleep 30) &
  holder=$!
  "$Q" apply u.qlu --device "$dev" --any-device --unmount >out.txt 2>&1; expect "busy refused" 5 $?
  grep -q "cannot unmount" out.txt; expect "busy mount named" 0 $?
  ok "busy file system stays mounted" mountpoint -q mnt1
  kill $holder; wait $holder 2>/dev/null
  exec 9<&-
  "$Q" apply u.qlu --device "$dev" --any-device --unmount >/dev/null 2>&1
  expect "apply with --unmount" 0 $?
  ok "file system unmounted" not mountpoint -q mnt1
  # (the unmount itself updates the boot partition's superblock)
  ok "MBR kept after --unmount" [ "$mbr_before" = "$(sha card.img 0 512)" ]
  ok "root rewritten after --unmount" [ "$(sha card.img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ]
  # A fresh card for the plain case.
  losetup -d "$dev"
  kept=(); for d in "${loops[@]}"; do [ "$d" = "$dev" ] || kept+=("$d"); done; loops=("${kept[@]}")
  rm card.img; card card.img 8
  attach card.img || { echo "FAIL: reattach"; exit 1; }
  head_before=$(sha card.img 0 $root_offset)
  tail_before=$(sha card.img $((root_offset + root_size)))
elif [ -b "${dev}p1" ]; then
  echo "SKIP: no ext2 mount here; mounted-partition cases not run"
fi

# --any-device writes the loop device: the root partition and nothing else.
"$Q" --verbose apply u.qlu --device "$dev" --any-device >out.txt 2>&1; expect "apply to a loop device" 0 $?
grep -q "applyupdatefile : construct update u.qlu target $dev drive $dev" out.txt
expect "the log names the device" 0 $?
ok "the log uses no Windows names" not grep -qF '\\.\' out.txt
ok "MBR and boot partition unchanged" [ "$head_before" = "$(sha card.img 0 $root_offset)" ]
ok "bytes after root unchanged" [ "$tail_before" = "$(sha card.img $((root_offset + root_size)))" ]
ok "root partition rewritten" [ "$(sha card.img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ]
ok "temporary file removed" [ -z "$(ls u.qlu.*.tmp 2>/dev/null)" ]

report
