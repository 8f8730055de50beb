#!/usr/bin/env bash
# Compares `qlupdate apply` on a 1 GiB root partition with standard tools
# doing the same work in the same run: sha256sum of the payload, zlib
# inflate of it, and a dd copy into the image. Prints phase and total
# ratios, the cost of the read-back verification (apply against
# apply --no-verify) and the peak RSS; writes the table to
# build/bench/results.md. Then bench/card.sh: the card speed on a throttled
# loop device.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
Q="${QLUPDATE:-$here/build/native/bin/qlupdate}"  # QLUPDATE: another build
# On tmpfs when it has room: the disk's writeback here varies by a factor of
# 1.5 from run to run and would drown the difference being measured.
if [ -z "${BENCH_DIR:-}" ] && [ "$(df --output=avail -B1G /dev/shm 2>/dev/null | tail -n 1)" -ge 8 ] 2>/dev/null; then
  BENCH_DIR=/dev/shm/quillon-bench
fi
work="${BENCH_DIR:-$here/build/bench}"
root_mib=${ROOT_MIB:-1024}
mkdir -p "$work"
cd "$work"
rm -f card.img card-old.img new.img update.qlu update.qlu.*.tmp inflated.img copy.img payload.z

root_start=18432 root_sectors=$((root_mib * 2048))
root_offset=$((root_start * 512)) root_size=$((root_sectors * 512))
card_bytes=$(((root_start + root_sectors + 2048) * 512))

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
ratio() { printf '%.3f' "$(echo "scale=4; $1 / $2" | bc -l)"; }

echo "bench: making two ${root_mib} MiB root partitions" >&2
# Root content like a system image: some incompressible, some text, some zeros.
unit=unit.bin
{
  head -c $((6 * 1048576)) /dev/urandom
  seq 1 900000 | head -c $((6 * 1048576))
  head -c $((4 * 1048576)) /dev/zero
} >"$unit"
for img in card.img new.img; do
  truncate -s "$card_bytes" "$img"
  printf 'label: dos\nstart=2048, size=16384, type=c\nstart=%d, size=%d, type=83\n' \
    $root_start $root_sectors | sfdisk --quiet --no-reread --no-tell-kernel "$img" >/dev/null
done
for ((i = 0; i < root_mib / 16; i++)); do cat "$unit"; done |
  dd of=new.img bs=1M seek=$((root_offset / 1048576)) conv=notrunc status=none iflag=fullblock
rm -f "$unit"
"$Q" make new.img update.qlu >/dev/null 2>&1
header=104
payload_bytes=$(($(stat -c %s update.qlu) - header))
# dd writes into an untouched copy of the card, as qlupdate does; every apply
# starts from the untouched card too, or the second would find the card
# already up to date and write nothing.
cp --sparse=always card.img copy.img
cp --sparse=always card.img card-old.img
cat update.qlu >/dev/null  # the same warm cache for every contender

rounds=${ROUNDS:-3}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
if command -v zlib-flate >/dev/null; then inflater=zlib-flate; else inflater="pigz -dz"; fi
all_total=() all_prep=() all_copy=() all_rss=() all_sha=() all_inflate=() all_dd=() all_verified=()
# Rounds interleave the contenders so that drift in the machine's load
# reaches all of them; the medians are reported.
for ((round = 1; round <= rounds; round++)); do
  echo "bench: round $round of $rounds: qlupdate apply (with and without verification), sha256sum, $inflater, dd" >&2
  rm -f copy-start
  cp --sparse=never card-old.img card.img  # allocated, as the copy dd writes into
  t0=$(now)
  /usr/bin/time -f '%M' -o rss.txt "$Q" --verbose apply --no-verify update.qlu card.img |
    while IFS= read -r line; do
      case "$line" in
        *"overwrite"*"%"*) [ -f copy-start ] || now >copy-start ;;
      esac
    done
  t1=$(now)
  all_rss+=("$(tail -n 1 rss.txt)")
  all_total+=("$(secs "$t0" "$t1")")
  all_prep+=("$(secs "$t0" "$(cat copy-start)")")
  all_copy+=("$(secs "$(cat copy-start)" "$t1")")
  rm -f copy-start rss.txt
  cp --sparse=never card-old.img card.img  # allocated, as the copy dd writes into
  t0=$(now)
  /usr/bin/time -f '%M' -o rss.txt "$Q" apply update.qlu card.img >/dev/null 2>&1
  t1=$(now)
  all_rss+=("$(tail -n 1 rss.txt)")
  all_verified+=("$(secs "$t0" "$t1")")
  rm -f rss.txt

  t0=$(now)
  dd if=update.qlu bs=4M iflag=skip_bytes skip=$header status=none | sha256sum >/dev/null
  t1=$(now)
  all_sha+=("$(secs "$t0" "$t1")")
  t0=$(now)
  dd if=update.qlu bs=4M iflag=skip_bytes skip=$header status=none | $inflater \
    $([ "$inflater" = zlib-flate ] && echo -uncompress) >inflated.img
  t1=$(now)
  all_inflate+=("$(secs "$t0" "$t1")")
  t0=$(now)
  # qlupdate removes its temporary file before it ends: so does the reference.
  dd if=inflated.img of=copy.img bs=8M oflag=seek_bytes seek=$root_offset conv=notrunc,fsync status=none
  rm -f inflated.img
  t1=$(now)
  all_dd+=("$(secs "$t0" "$t1")")
done
ql_total=$(median "${all_total[@]}")
ql_prep=$(median "${all_prep[@]}")
ql_copy=$(median "${all_copy[@]}")
ql_verified=$(median "${all_verified[@]}")
verify_cost=$(echo "$ql_verified - $ql_total" | bc -l)
rss_kib=$(printf '%s\n' "${all_rss[@]}" | sort -n | tail -n 1)
sha=$(median "${all_sha[@]}")
inflate=$(median "${all_inflate[@]}")
copy=$(median "${all_dd[@]}")
cmp -s -i $root_offset -n $root_size card.img new.img && same=yes || same=NO

slower=$(echo "if ($sha > $inflate) $sha else $inflate" | bc -l)
reference=$(echo "$slower + $copy" | bc -l)
total_ratio=$(ratio "$ql_total" "$reference")
verified_ratio=$(ratio "$ql_verified" "$reference")
verify_share=$(ratio "$verify_cost" "$ql_total")
prep_ratio=$(ratio "$ql_prep" "$slower")
copy_ratio=$(ratio "$ql_copy" "$copy")
rss_mib=$(echo "scale=1; $rss_kib / 1024" | bc -l)
verdict_time=$(echo "$total_ratio <= 1.10" | bc -l)
verdict_rss=$(echo "$rss_kib <= 65536" | bc -l)

rm -f copy.img card-old.img
{
  echo "| measure | qlupdate | reference | ratio |"
  echo "| --- | --- | --- | --- |"
  printf '| verify + inflate (to first copy chunk) | %.2f s | max(sha256sum %.2f s, %s %.2f s) | %s |\n' \
    "$ql_prep" "$sha" "$inflater" "$inflate" "$prep_ratio"
  printf '| copy into the image (with sync), temporary file removed | %.2f s | dd conv=fsync, rm %.2f s | %s |\n' "$ql_copy" "$copy" "$copy_ratio"
  printf '| total, apply --no-verify (the same work as the reference) | %.2f s | %.2f s | %s (target <= 1.10: %s) |\n' \
    "$ql_total" "$reference" "$total_ratio" "$([ "$verdict_time" = 1 ] && echo met || echo MISSED)"
  printf '| total, apply (reads the root back and compares) | %.2f s | %.2f s | %s |\n' \
    "$ql_verified" "$reference" "$verified_ratio"
  printf '| read-back verification (apply minus apply --no-verify) | %.2f s | apply --no-verify %.2f s | %s |\n' \
    "$verify_cost" "$ql_total" "$verify_share"
  printf '| peak RSS | %s MiB | 64 MiB | (%s) |\n' "$rss_mib" "$([ "$verdict_rss" = 1 ] && echo met || echo MISSED)"
  echo
  echo "root partition ${root_mib} MiB, payload $payload_bytes bytes, medians of $rounds rounds," \
    "largest peak RSS; result equals the new card: $same"
} | tee results.md
echo "(work folder $work)"
[ "$work" = /dev/shm/quillon-bench ] && rm -f "$work"/*.img "$work"/update.qlu
# Then the card speed on a throttled loop device (root only; otherwise it
# says SKIP and passes).
bash "$here/bench/card.sh"
