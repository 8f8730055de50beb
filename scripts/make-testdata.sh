#!/usr/bin/env bash
# Makes the test data that needs host tools: card images whose MBR is
# written by sfdisk, the partitioning tool users have.
set -euo pipefail
out=${1:?usage: make-testdata.sh DIR}
mkdir -p "$out"
stamp="$out/.v2"
[ -f "$stamp" ] && exit 0
# Made in a folder of this run's own and renamed into place file by file, so
# that a run beside this one never reads a half-written image.
final=$out
out=$(mktemp -d "$final/.new.XXXXXX")
trap 'rm -rf "$out"' EXIT

mk() {  # name size-in-MiB sfdisk-script
  local img="$out/$1"
  rm -f "$img"
  truncate -s "$2M" "$img"
  printf '%s\n' "$3" | sfdisk --quiet --no-reread --no-tell-kernel "$img" >/dev/null
}
# Boot partition, then the root partition; root ends at the last sector.
mk sfdisk-card.img 48 $'label: dos\nstart=2048, size=16384, type=c, bootable\nstart=18432, type=83'
# Root followed by a third partition, with a gap after the boot partition.
mk sfdisk-gap.img 64 $'label: dos\nstart=2048, size=8192, type=c\nstart=12288, size=40960, type=83\nstart=53248, type=83'
# Entries listed out of disk order: entry 1 lies before entry 0.
mk sfdisk-swapped.img 24 $'label: dos\nstart=20480, type=83\nstart=2048, size=16384, type=c'
# A single partition: no root partition entry at all.
mk sfdisk-single.img 8 $'label: dos\nstart=2048, type=83'
# GPT card: the protective MBR fails the layout rule. (sgdisk -q saves
# nothing, so its chatter goes to /dev/null instead.)
rm -f "$out/gpt.img"; truncate -s 16M "$out/gpt.img"
sgdisk -n 1:2048:+4M -n 2:0:0 "$out/gpt.img" >/dev/null 2>&1
mv -f "$out"/*.img "$final/"
touch "$stamp"
