#!/usr/bin/env bash
# qlupdate apply --device on loop devices: which disks it refuses, and that a
# card it accepts gets only its root partition rewritten. Needs root and
# losetup; skips (exit 77) where the machine allows neither.
# Usage: blockdevice_test.sh QLUPDATE
set -uo pipefail
Q=$(realpath "$1")
work=$(mktemp -d)
loops=() extras=() bg=()
cleanup() {
  for pid in "${bg[@]}"; do kill "$pid"; wait "$pid"; done 2>/dev/null
  for mp in "$work"/mnt*; do mountpoint -q "$mp" 2>/dev/null && umount "$mp"; done
  # Last attached first: a loop over another's partition goes before it.
  local all=("${loops[@]}" "${extras[@]}") i
  for ((i = ${#all[@]} - 1; i >= 0; i--)); do losetup -d "${all[i]}"; done
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

# A block device is read as a card: its size comes from the kernel.
"$Q" inspect "$dev" >out.txt 2>&1; expect "inspect a loop device" 0 $?
grep -q "^layout       valid" out.txt; expect "the loop device's layout is valid" 0 $?
"$Q" make "$dev" dev.qlu >out.txt 2>&1; expect "make from a loop device" 0 $?
# The node's device number decides what it is, whatever its name; a broken
# update file then ends the update (2) before anything is written.
cp u.qlu bad.qlu
printf '\xff' | dd of=bad.qlu bs=1 seek=5000 conv=notrunc status=none
number() { echo $((0x$(stat -c %t "$1"))) $((0x$(stat -c %T "$1"))); }
if [ -b "${dev}p1" ] && mknod card-node b $(number "$dev") && mknod "${dev##*/}p1" b $(number "$dev") &&
  mknod "${dev##*/}" b $(number "${dev}p1"); then
  # node | status | words
  while IFS='|' read -r node status words; do
    "$Q" apply bad.qlu --device "$node" --any-device >out.txt 2>&1; expect "node $node" "$status" $?
    grep -qF "$words" out.txt; expect "node $node: says \"$words\"" 0 $?
  done <<NODES
./card-node|2|the update file is damaged
./${dev##*/}p1|2|the update file is damaged
./${dev##*/}|64|is a partition; give the whole card, $dev
NODES
  ok "card untouched by the nodes" [ "$all_before" = "$(sha card.img 0)" ]
fi

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

# What else may use the card, and --unmount, which unmounts only once the
# update file is verified, right before the first write. One line a case:
# name | set-up | apply's arguments | status | what qlupdate says | a mount
# point that must still be mounted afterwards (!point: must not be).
mounted() { mount "${dev}p1" mnt1; }
busy() { mounted && { (cd mnt1 && exec sleep 60) & bg+=($!); }; }
on_loop() { extra=$(losetup -f --show "${dev}p2") && extras+=("$extra"); }
on_loop_mounted() { on_loop && mkfs.ext2 -q "$extra" && mount "$extra" mnt2; }
# Holds DEVICE with O_EXCL for SECONDS; fails at once when it cannot.
excl='sysopen(F, $ARGV[0], O_RDONLY | O_EXCL) or exit 1; sleep $ARGV[1]'
until_true() { for _ in $(seq 50); do "$@" && return; sleep 0.1; done; return 1; }
holds() { ls -l /proc/$1/fd 2>/dev/null | grep -q " $dev\$"; }
held() { perl -MFcntl -e "$excl" "$dev" 60 & bg+=($!); until_true holds $!; }
elsewhere() {
  unshare -m sh -c "mount ${dev}p1 $work/mnt1 && exec sleep 60" & bg+=($!)
  until_true grep -q "^${dev}p1 " /proc/$!/mounts
}
unattached() { free=$(losetup -f); }
on_small_card() {  # the update file on the mounted root of a card with no room for the temporary file
  local saved=$dev
  card small.img 16 && attach small.img && small=$dev && dev=$saved &&
    mkfs.ext4 -q "${small}p2" && mount "${small}p2" mnt2 && cp u.qlu mnt2/ &&
    mount -o remount,ro mnt2 && img=small.img
}
on_card() {  # the update file on the mounted root of a card with room for the temporary file
  local saved=$dev
  card big.img 6144 && attach big.img && big=$dev && dev=$saved &&
    mkfs.ext4 -q -m 0 -E lazy_itable_init=1,lazy_journal_init=1 "${big}p2" &&
    mount "${big}p2" mnt2 && cp u.qlu mnt2/ && mount -o remount,ro mnt2 && img=big.img
}
undo() {
  for pid in "${bg[@]}"; do kill "$pid"; wait "$pid"; done 2>/dev/null
  for mp in mnt1 mnt2; do mountpoint -q $mp && umount $mp; done
  for d in "${extras[@]}"; do losetup -d "$d"; done
  bg=() extras=()
  # A dead namespace lets its mounts go a moment later.
  until_true perl -MFcntl -e "$excl" "$dev" 0
}
cp u.qlu broken.qlu
byte=$(od -An -tu1 -j5000 -N1 broken.qlu | tr -d ' ')
printf "\\$(printf %o $((byte ^ 255)))" | dd of=broken.qlu bs=1 seek=5000 conv=notrunc status=none
if [ -b "${dev}p1" ] && mkfs.ext2 -q "${dev}p1" 2>/dev/null && mkdir mnt1 mnt2 && mounted 2>/dev/null; then
  umount mnt1
  while IFS='|' read -r name setup args status words still; do
    img=card.img
    $setup </dev/null || { echo "FAIL: $name: set-up"; failed=$((failed + 1)); undo; continue; }
    sync
    # The copy starts at the root's first byte: its first 8 MiB show any write.
    root=$(sha $img $root_offset $root_size) mbr=$(sha $img 0 512)
    eval "\"\$Q\" apply $args" </dev/null >out.txt 2>&1; expect "$name" "$status" $?
    eval "words=\"$words\""
    grep -qF "$words" out.txt; expect "$name: says \"$words\"" 0 $?
    ok "$name: MBR kept" [ "$mbr" = "$(sha $img 0 512)" ]
    if [ "$status" = 0 ]; then
      ok "$name: root rewritten" [ "$(sha $img $root_offset $root_size)" = "$(sha new.img $root_offset $root_size)" ]
    else
      ok "$name: root untouched" [ "$root" = "$(sha $img $root_offset $root_size)" ]
    fi
    case $still in
      !*) ok "$name: ${still#!} unmounted" not mountpoint -q "${still#!}" ;;
      ?*) ok "$name: $still still mounted" mountpoint -q "$still" ;;
    esac
    undo
  done <<'CASES'
mounted|mounted|u.qlu --device $dev --any-device|64|$dev is mounted on $work/mnt1; nothing was written (--unmount|mnt1
partition on a loop|on_loop|u.qlu --device $dev --any-device|64|qlupdate: ${dev}p2 is attached to $extra (losetup -d $extra detaches it); nothing was written|
partition on a mounted loop|on_loop_mounted|u.qlu --device $dev --any-device --unmount|64|${dev}p2 is attached to $extra (losetup -d $extra detaches it); nothing was written|mnt2
image on a loop|true|u.qlu card.img|64|qlupdate: card.img is attached to $dev (losetup -d $dev detaches it); nothing was written|
held by another program|held|u.qlu --device $dev --any-device|64|$dev is in use: another program holds it, or a file system on it is mounted (perhaps in another mount namespace); nothing was written|
mounted in another namespace|elsewhere|u.qlu --device $dev --any-device --unmount|64|$dev is in use: another program holds it|
no file attached|unattached|u.qlu --device $free --any-device|64|$free has no file attached; nothing was written|
broken file with --unmount|mounted|broken.qlu --device $dev --any-device --unmount|2|the update file is damaged|mnt1
file on the card with --unmount|on_card|$work/mnt2/u.qlu --device $big --any-device --unmount|11|the update file $work/mnt2/u.qlu is on the card itself|mnt2
file on a full card with --unmount|on_small_card|$work/mnt2/u.qlu --device $small --any-device --unmount|11|the update file $work/mnt2/u.qlu is on the card itself|mnt2
busy with --unmount|busy|u.qlu --device $dev --any-device --unmount|9|cannot unmount $work/mnt1 (${dev}p1): Device or resource busy; nothing was written|mnt1
--unmount|mounted|u.qlu --device $dev --any-device --unmount|0|unmounted $work/mnt1|!mnt1
CASES
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

# make reads no card image whose root is mounted read-write through a loop
# device, which may change it meanwhile; mounted read-only, or its boot
# partition alone, it may be read.
saved=$dev
if card mk.img 8 && attach mk.img && mkfs.ext2 -q "${dev}p1" 2>/dev/null &&
  mkfs.ext2 -q "${dev}p2" 2>/dev/null && mkdir -p mntmk1 mntmk2; then
  # set-up | status | words
  while IFS='|' read -r setup status words; do
    rm -f mk.qlu
    eval "$setup"
    "$Q" make mk.img mk.qlu >out.txt 2>&1; expect "make, $setup" "$status" $?
    eval "words=\"$words\""
    grep -qF "$words" out.txt; expect "make, $setup: says \"$words\"" 0 $?
    [ "$status" = 0 ] || ok "make, $setup: no update file" [ ! -e mk.qlu ]
    for mp in mntmk1 mntmk2; do mountpoint -q $mp && umount $mp; done
  done <<'MAKES'
mount ${dev}p2 mntmk2|64|the root partition of mk.img is mounted read-write on $work/mntmk2 (${dev}p2)
mount -o ro ${dev}p2 mntmk2|0|made mk.qlu
mount ${dev}p1 mntmk1|0|made mk.qlu
MAKES
fi
dev=$saved

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
