#!/usr/bin/env bash
# The tool's main job on a built-in example: two demo cards with sfdisk
# tables, an update file made from the second, applied to the first, and
# proof that only the root partition changed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The release test runs the demo with a packaged qlupdate, into a folder of its own.
Q=${QL_DEMO_QLUPDATE:-$here/build/native/bin/qlupdate}
out=${QL_DEMO_OUT:-$here/demo}
rm -rf "$out"
mkdir -p "$out"
cd "$out"

step() { printf '\n== %s\n' "$*"; }
sha_range() {  # file offset [length]; without length, to the end of the file
  local count=()
  [ $# -ge 3 ] && count=(count="$3")
  dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" "${count[@]}" status=none |
    sha256sum | cut -d' ' -f1
}

boot_start=2048 boot_sectors=16384 root_start=18432 root_sectors=81920
root_offset=$((root_start * 512)) root_size=$((root_sectors * 512))
card_size=$(((root_start + root_sectors) * 512 + 8 * 1048576))  # 8 MiB of free space after root

make_root() {  # dir version
  mkdir -p "$1/etc" "$1/opt/quillon"
  printf 'QUILLON_VERSION=%s\n' "$2" >"$1/etc/quillon-release"
  head -c 6000000 /dev/urandom >"$1/opt/quillon/firmware-$2.bin"
  seq 1 200000 | sed "s/^/log line v$2 /" >"$1/opt/quillon/notes.txt"
}
make_card() {  # image rootdir label
  truncate -s "$card_size" "$1"
  printf 'label: dos\nstart=%d, size=%d, type=c, bootable\nstart=%d, size=%d, type=83\n' \
    $boot_start $boot_sectors $root_start $root_sectors |
    sfdisk --quiet --no-reread --no-tell-kernel "$1" >/dev/null
  mkfs.fat -C "boot.part" $((boot_sectors / 2)) >/dev/null
  dd if=boot.part of="$1" bs=512 seek=$boot_start conv=notrunc status=none
  rm -f boot.part
  mke2fs -q -F -t ext4 -L "$3" -d "$2" "root.part" $((root_sectors / 2))k >/dev/null
  dd if=root.part of="$1" bs=512 seek=$root_start conv=notrunc status=none
  mv root.part "$1.root"
  # Bytes after the root partition belong to the user too.
  head -c 4096 /dev/urandom | dd of="$1" bs=512 seek=$((root_start + root_sectors + 16)) conv=notrunc status=none
}

step "card.img: the user's card (boot partition, root partition v1.0), MBR written by sfdisk"
make_root rootfs-v1 1.0
make_card card.img rootfs-v1 quillon-v1
sfdisk --dump card.img | sed -n '/^card.img/p'

step "new-card.img: a card with root partition v2.0; update.qlu made from it"
make_root rootfs-v2 2.0
make_card new-card.img rootfs-v2 quillon-v2
"$Q" make new-card.img update.qlu
"$Q" inspect update.qlu

before_head=$(sha_range card.img 0 $root_offset)
before_tail=$(sha_range card.img $((root_offset + root_size)))
# The same card once more, for the update from the program's window.
cp card.img card-window.img

step "qlupdate apply update.qlu card.img"
"$Q" apply update.qlu card.img

step "proof"
fail=0
after_root=$(sha_range card.img $root_offset $root_size)
new_root=$(sha256sum <new-card.img.root | cut -d' ' -f1)
after_head=$(sha_range card.img 0 $root_offset)
after_tail=$(sha_range card.img $((root_offset + root_size)))
check() {
  if [ "$2" = "$3" ]; then echo "ok    $1"; else echo "FAIL  $1 ($2 != $3)"; fail=1; fi
}
check "root partition now equals the new image  (sha256 ${after_root:0:16}...)" "$after_root" "$new_root"
check "MBR and boot partition unchanged          (sha256 ${after_head:0:16}...)" "$before_head" "$after_head"
check "bytes after the root partition unchanged  (sha256 ${after_tail:0:16}...)" "$before_tail" "$after_tail"
if command -v debugfs >/dev/null; then
  dd if=card.img of=check.part bs=512 skip=$root_start count=$root_sectors status=none
  echo "      /etc/quillon-release on the card: $(debugfs -R 'cat /etc/quillon-release' check.part 2>/dev/null)"
  rm -f check.part
fi
ls update.qlu.*.tmp >/dev/null 2>&1 && { echo "FAIL  temporary file left behind"; fail=1; }
rm -rf rootfs-v1 rootfs-v2

if [ -z "${QL_DEMO_QLUPDATE:-}" ] && [ -f "$here/build/windows/bin/QuillonUpdate.exe" ]; then
  step "the Windows program under Wine: the same update from its window, on card-window.img"
  if QL_DEMO_CARD="$out/card-window.img" QL_DEMO_UPDATE="$out/update.qlu" \
    bash "$here/scripts/demo-gui.sh"; then
    check "root partition now equals the new image" \
      "$(sha_range card-window.img $root_offset $root_size)" "$new_root"
    check "MBR and boot partition unchanged" "$(sha_range card-window.img 0 $root_offset)" "$before_head"
    check "bytes after the root partition unchanged" \
      "$(sha_range card-window.img $((root_offset + root_size)))" "$before_tail"
  else
    echo "FAIL  the Windows program"
    fail=1
  fi
  ls update.qlu.*.tmp >/dev/null 2>&1 && { echo "FAIL  temporary file left behind"; fail=1; }
fi

if [ $fail -eq 0 ]; then
  printf '\ndemo passed: only the root partition of card.img was rewritten (output in %s)\n' "$out"
else
  printf '\ndemo FAILED\n'
fi
exit $fail
