#!/usr/bin/env bash
# Compares `qlupdate apply` on a 1 GiB root partition with standard tools
# doing the same work in the same run: sha256sum of the payload, zlib
# inflate of it, a dd copy into the image, and for the read-back a SHA-256
# of the root read back. Two contents: a pattern of random, text and zero
# runs, and a root that looks like a file system (ext4 made with mke2fs -d,
# bench/fsroot.sh). Prints phase and total ratios, the cost of the read-back
# and the peak RSS; writes the tables to build/bench/results.md. Then
# bench/card.sh: the card speed on a throttled loop device.
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
contents=${CONTENTS:-pattern filesystem}
mkdir -p "$work" "$here/build/bench"
cd "$work"
results="$here/build/bench/results.md"
: >"$results"

root_start=18432 root_sectors=$((root_mib * 2048))
root_offset=$((root_start * 512)) root_size=$((root_sectors * 512))
card_bytes=$(((root_start + root_sectors + 2048) * 512))
header=104

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
ratio() { printf '%.3f' "$(echo "scale=4; $1 / $2" | bc -l)"; }
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
if command -v zlib-flate >/dev/null; then inflater=zlib-flate; else inflater="pigz -dz"; fi
if command -v openssl >/dev/null; then root_hasher=(openssl dgst -sha256); else root_hasher=(sha256sum); fi

# The new root for one content, as root.bin.
make_root() {
  case "$1" in
    pattern)
      # Like a system image: some incompressible, some text, some zeros.
      local unit=unit.bin
      {
        head -c $((6 * 1048576)) /dev/urandom
        seq 1 900000 | head -c $((6 * 1048576))
        head -c $((4 * 1048576)) /dev/zero
      } >"$unit"
      for ((i = 0; i < root_mib / 16; i++)); do cat "$unit"; done >root.bin
      rm -f "$unit"
      ;;
    filesystem)
      bash "$here/bench/fsroot.sh" "$root_mib" . >/dev/null
      rm -f root-old.fs
      mv root-new.fs root.bin
      ;;
  esac
}

run_content() {
  local content=$1
  rm -f card.img card-old.img new.img update.qlu update.qlu.*.tmp inflated.img copy.img root.bin
  echo "bench: $content: making the ${root_mib} MiB root partition" >&2
  make_root "$content"
  for img in card.img new.img; do
    truncate -s "$card_bytes" "$img"
    printf 'label: dos\nstart=2048, size=16384, type=c\nstart=%d, size=%d, type=83\n' \
      $root_start $root_sectors | sfdisk --quiet --no-reread --no-tell-kernel "$img" >/dev/null
  done
  dd if=root.bin of=new.img bs=4M oflag=seek_bytes seek=$root_offset conv=notrunc status=none
  rm -f root.bin
  "$Q" make new.img update.qlu >/dev/null 2>&1
  local payload_bytes=$(($(stat -c %s update.qlu) - header))
  # dd writes into an untouched copy of the card, as qlupdate does; every
  # apply starts from the untouched card too, or the second would find the
  # card already up to date and write nothing.
  cp --sparse=always card.img copy.img
  cp --sparse=always card.img card-old.img
  cat update.qlu >/dev/null  # the same warm cache for every contender

  local rounds=${ROUNDS:-3} round t0 t1
  local all_total=() all_prep=() all_copy=() all_rss=() all_sha=() all_inflate=() all_dd=()
  local all_verified=() all_readback=()
  # Rounds interleave the contenders so that drift in the machine's load
  # reaches all of them; the medians are reported.
  for ((round = 1; round <= rounds; round++)); do
    echo "bench: $content: round $round of $rounds: qlupdate apply (with and without verification), sha256sum, $inflater, dd" >&2
    rm -f copy-start
    cp --sparse=never card-old.img card.img  # allocated, as the copy dd writes into
    t0=$(now)
    /usr/bin/time -f '%M' -o rss.txt "$Q" --verbose apply --no-verify update.qlu card.img |
      while IFS= read -r line; do
        case "$line" in
          *"pieces differ"* | *"already holds the update"*) [ -f copy-start ] || now >copy-start ;;
        esac
      done
    t1=$(now)
    all_rss+=("$(tail -n 1 rss.txt)")
    all_total+=("$(secs "$t0" "$t1")")
    all_prep+=("$(secs "$t0" "$(cat copy-start)")")
    all_copy+=("$(secs "$(cat copy-start)" "$t1")")
    rm -f copy-start rss.txt
    cp --sparse=never card-old.img card.img
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
    # The reference's read-back: the root read again and hashed, by the
    # quickest standard tool (openssl's SHA-256 uses the CPU's SHA
    # instructions where it has them; coreutils' does not).
    t0=$(now)
    dd if=copy.img bs=8M iflag=skip_bytes,count_bytes skip=$root_offset count=$root_size status=none |
      "${root_hasher[@]}" >/dev/null
    t1=$(now)
    all_readback+=("$(secs "$t0" "$t1")")
  done
  local ql_total ql_prep ql_copy ql_verified verify_cost rss_kib sha inflate copy readback same
  ql_total=$(median "${all_total[@]}")
  ql_prep=$(median "${all_prep[@]}")
  ql_copy=$(median "${all_copy[@]}")
  ql_verified=$(median "${all_verified[@]}")
  verify_cost=$(echo "$ql_verified - $ql_total" | bc -l)
  rss_kib=$(printf '%s\n' "${all_rss[@]}" | sort -n | tail -n 1)
  sha=$(median "${all_sha[@]}")
  inflate=$(median "${all_inflate[@]}")
  copy=$(median "${all_dd[@]}")
  readback=$(median "${all_readback[@]}")
  cmp -s -i $root_offset -n $root_size card.img new.img && same=yes || same=NO

  local slower reference verified_reference total_ratio verified_ratio
  slower=$(echo "if ($sha > $inflate) $sha else $inflate" | bc -l)
  reference=$(echo "$slower + $copy" | bc -l)
  verified_reference=$(echo "$reference + $readback" | bc -l)
  total_ratio=$(ratio "$ql_total" "$reference")
  verified_ratio=$(ratio "$ql_verified" "$verified_reference")
  local met_total met_verified met_rss
  met_total=$([ "$(echo "$total_ratio <= 1.10" | bc -l)" = 1 ] && echo met || echo MISSED)
  met_verified=$([ "$(echo "$verified_ratio <= 1.10" | bc -l)" = 1 ] && echo met || echo MISSED)
  met_rss=$([ "$(echo "$rss_kib <= 65536" | bc -l)" = 1 ] && echo met || echo MISSED)

  rm -f copy.img card-old.img
  {
    echo "### $content"
    echo
    echo "| measure | qlupdate | reference | ratio |"
    echo "| --- | --- | --- | --- |"
    printf '| verify + inflate, judging the card meanwhile | %.2f s | max(sha256sum %.2f s, %s %.2f s) | %s |\n' \
      "$ql_prep" "$sha" "$inflater" "$inflate" "$(ratio "$ql_prep" "$slower")"
    printf '| copy into the image (with sync), temporary file removed | %.2f s | dd conv=fsync, rm %.2f s | %s |\n' \
      "$ql_copy" "$copy" "$(ratio "$ql_copy" "$copy")"
    printf '| total, apply --no-verify | %.2f s | %.2f s | %s (target <= 1.10: %s) |\n' \
      "$ql_total" "$reference" "$total_ratio" "$met_total"
    printf '| total, apply (reads back what it wrote) | %.2f s | %.2f s, with %s of the root read back %.2f s | %s (target <= 1.10: %s) |\n' \
      "$ql_verified" "$verified_reference" "${root_hasher[*]}" "$readback" "$verified_ratio" "$met_verified"
    printf '| read-back verification (apply minus apply --no-verify) | %.2f s | apply --no-verify %.2f s | %s |\n' \
      "$verify_cost" "$ql_total" "$(ratio "$verify_cost" "$ql_total")"
    printf '| peak RSS | %.1f MiB | 64 MiB | (%s) |\n' "$(echo "$rss_kib / 1024" | bc -l)" "$met_rss"
    echo
    echo "root partition ${root_mib} MiB ($content), payload $payload_bytes bytes, medians of $rounds rounds," \
      "largest peak RSS; result equals the new card: $same"
    echo
  } | tee -a "$results"
}

for content in $contents; do
  run_content "$content"
done
echo "(work folder $work)"
[ "$work" = /dev/shm/quillon-bench ] && rm -f "$work"/*.img "$work"/update.qlu
# Then the card speed on a throttled loop device (root only; otherwise it
# says SKIP and passes).
[ -n "${NO_CARD:-}" ] || bash "$here/bench/card.sh"
