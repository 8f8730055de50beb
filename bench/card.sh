#!/usr/bin/env bash
# Card speed: `qlupdate apply --device` on a loop device throttled like an SD
# card (blkio cgroup), for three cards: an older build of the same system
# that has run for a while, unrelated content, and an update interrupted
# part-way. Each time is set against what the card's bandwidth allows: the
# unpacking, reading the 4 MiB pieces that already match, writing the ones
# that differ, and reading the whole root back. A dd of the whole root on the
# same device is the plain-copy reference. Writes the table to
# build/bench/card-results.md. Needs root; otherwise it says SKIP and exits 0.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
Q="${QLUPDATE:-$here/build/native/bin/qlupdate}"  # QLUPDATE: another build
root_mib=${ROOT_MIB:-512}
write_bps=$((${WRITE_MBPS:-40} * 1000000))
read_bps=$((${READ_MBPS:-160} * 1000000))
piece=$((4 * 1048576))
header=104
started=$(date +%s.%N)

skip() {
  echo "SKIP: card benchmark: $*"
  exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root (loop devices, a blkio cgroup, mounting the card's root)"
for tool in losetup lsblk sfdisk mke2fs mount umount blockdev sha256sum perl bc tar; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
if command -v zlib-flate >/dev/null; then inflate=(zlib-flate -uncompress) inflater=zlib-flate
elif command -v pigz >/dev/null; then inflate=(pigz -dz) inflater="pigz -dz"
else skip "neither zlib-flate (qpdf) nor pigz is installed"; fi
losetup -f >/dev/null 2>&1 || skip "no free loop device (losetup -f failed)"
[ -x "$Q" ] || { echo "card.sh: $Q is missing: build it first (make native)" >&2; exit 1; }

# The throttle: cgroup v1 blkio where it is mounted, else v2's io.max.
cg_kind='' cg_parent='' cg=''
v1_path=$(awk -F: '$2 == "blkio" { print $3 }' /proc/self/cgroup)
if [ -n "$v1_path" ] && [ -f /sys/fs/cgroup/blkio/blkio.throttle.write_bps_device ]; then
  cg_kind=v1 cg_parent=/sys/fs/cgroup/blkio${v1_path%/}
else
  for base in /sys/fs/cgroup/unified /sys/fs/cgroup; do
    if [ -f "$base/cgroup.controllers" ] && grep -qw io "$base/cgroup.controllers"; then
      cg_kind=v2 cg_parent=$base
      break
    fi
  done
fi
[ -n "$cg_kind" ] || skip "no blkio cgroup: neither v1 /sys/fs/cgroup/blkio nor an io controller in cgroup v2"

# On tmpfs when it has room, as bench/run.sh; CARD_DIR: another folder, in
# which a fresh folder of its own is made and removed.
if [ -z "${CARD_DIR:-}" ] && [ "$(df --output=avail -B1G /dev/shm 2>/dev/null | tail -n 1)" -ge 8 ] 2>/dev/null; then
  CARD_DIR=/dev/shm
fi
results="$here/build/bench/card-results.md"
mkdir -p "$here/build/bench" "${CARD_DIR:=$here/build/bench}"
work=$(mktemp -d "$CARD_DIR/quillon-card.XXXXXX")

loops=() mount_loop='' mnt="$work/mnt" apply_pid='' v2_enabled_io=''
# Whatever happens: no process left in the group, the group removed, and
# only the loop devices this run attached detached (by device and file).
cleanup() {
  set +e
  [ -n "$apply_pid" ] && kill -KILL "$apply_pid" 2>/dev/null && wait "$apply_pid" 2>/dev/null
  if [ -n "$cg" ] && [ -d "$cg" ]; then
    for pid in $(cat "$cg/cgroup.procs" 2>/dev/null); do echo "$pid" >"$cg_parent/cgroup.procs"; done
    rmdir "$cg"
  fi
  [ -n "$v2_enabled_io" ] && echo "-io" >"$cg_parent/cgroup.subtree_control" 2>/dev/null
  mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
  for dev in "$mount_loop" "${loops[@]}"; do
    [ -n "$dev" ] || continue
    back=$(losetup -n -O BACK-FILE "$dev" 2>/dev/null)
    case "$back" in "$work"/*) losetup -d "$dev" ;; esac
  done
  [ -n "${KEEP:-}" ] || mountpoint -q "$mnt" || rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# The build under test is copied first: the build folder may be rebuilt while
# this runs.
cp "$Q" "$work/qlupdate"
Q_under_test=$Q Q=$work/qlupdate

cg=$cg_parent/quillon-card-$$
if [ $cg_kind = v2 ] && ! grep -qw io "$cg_parent/cgroup.subtree_control"; then
  echo "+io" >"$cg_parent/cgroup.subtree_control" || skip "cannot enable the io controller in $cg_parent"
  v2_enabled_io=1
fi
mkdir "$cg" || skip "cannot create the cgroup $cg"

now() { date +%s.%N; }
calc() { echo "scale=6; $*" | bc -l; }
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
written_sectors() { awk '{ print $7 }' "/sys/block/${1#/dev/}/stat"; }
# Runs a command inside the throttled group (a shell that moves itself in).
throttled() { bash -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$cg" "$@"; }

throttle() {
  local majmin
  majmin=$(lsblk -dno MAJ:MIN "$1" | tr -d ' ')
  if [ $cg_kind = v1 ]; then
    echo "$majmin $write_bps" >"$cg/blkio.throttle.write_bps_device"
    echo "$majmin $read_bps" >"$cg/blkio.throttle.read_bps_device"
  else
    echo "$majmin rbps=$read_bps wbps=$write_bps" >"$cg/io.max"
  fi
}
# Sets dev: a loop device on the image, throttled. (No command substitution:
# the list of attached devices must reach the cleanup.)
attach() {
  dev=$(losetup -f --show "$1")
  loops+=("$dev")
  throttle "$dev"
}
detach() {
  blockdev --flushbufs "$1"
  losetup -d "$1"
  local kept=() dev
  for dev in "${loops[@]}"; do [ "$dev" = "$1" ] || kept+=("$dev"); done
  loops=("${kept[@]}")
}

root_start=18432 root_sectors=$((root_mib * 2048))
root_offset=$((root_start * 512)) root_bytes=$((root_sectors * 512))
card_bytes=$(((root_start + root_sectors + 2048) * 512))
cd "$work"

new_card() {  # An empty card with the device's partition table.
  rm -f "$1"
  truncate -s "$card_bytes" "$1"
  printf 'label: dos\nstart=2048, size=16384, type=c\nstart=%d, size=%d, type=83\n' \
    $root_start $root_sectors | sfdisk --quiet --no-reread --no-tell-kernel "$1" >/dev/null
}
put_root() {  # put_root FILE CARD: FILE becomes the card's root partition.
  dd if="$1" of="$2" bs=4M oflag=seek_bytes seek=$root_offset conv=notrunc status=none
}

# --- Two builds of one system: build 2 is build 1 after a package upgrade.
read -r files_old tree_old_mib files_new tree_new_mib < <(bash "$here/bench/fsroot.sh" "$root_mib" .)
[ -s root-old.fs ] && [ -s root-new.fs ] || { echo "card: bench/fsroot.sh made no root partitions" >&2; exit 1; }
new_card new.img
put_root root-new.fs new.img
"$Q" make new.img update.qlu >make.log 2>&1 || { echo "card: qlupdate make failed:" >&2; tail -n 5 make.log >&2; exit 1; }
rm -f new.img
payload_bytes=$(($(stat -c %s update.qlu) - header))

# --- What the unpacking costs alone, on this folder and unthrottled.
sha_runs=() inflate_runs=()
for _ in 1 2 3; do
  t0=$(now)
  dd if=update.qlu bs=4M iflag=skip_bytes skip=$header status=none | sha256sum >/dev/null
  t1=$(now)
  dd if=update.qlu bs=4M iflag=skip_bytes skip=$header status=none | "${inflate[@]}" >inflated.img
  t2=$(now)
  rm -f inflated.img
  sha_runs+=("$(calc "$t1 - $t0")") inflate_runs+=("$(calc "$t2 - $t1")")
done
sha=$(median "${sha_runs[@]}") inflated=$(median "${inflate_runs[@]}")
unpack=$(echo "if ($sha > $inflated) $sha else $inflated" | bc -l)

# Bytes of the card's root in 4 MiB pieces that equal the new root's: "EQUAL DIFFERENT".
compare_pieces() {
  perl -e '
    my ($card, $new, $offset, $length, $piece) = @ARGV;
    open my $c, "<:raw", $card or die; open my $n, "<:raw", $new or die;
    seek $c, $offset, 0 or die;
    my ($equal, $different) = (0, 0);
    for (my $at = 0; $at < $length; $at += $piece) {
      my $want = $length - $at < $piece ? $length - $at : $piece;
      read($c, my $x, $want) == $want && read($n, my $y, $want) == $want or die "short read";
      if ($x eq $y) { $equal += $want } else { $different += $want }
    }
    print "$equal $different\n";' "$1" root-new.fs $root_offset $root_bytes $piece
}

have_time=$([ -x /usr/bin/time ] && echo 1 || echo 0)
rows=() notes=()
# Each case's goal against dd's whole-root write on the same device.
declare -A goals=([upgrade]=0.95 [unrelated]=1.40 [interrupted]=0.40)
# One timed apply on a card image: "case" "image". Adds its row, sets
# last_secs, and leaves the card attached as last_dev.
timed_apply() {
  local name=$1 image=$2 equal different w0 w1 t0 t1 rc=0 secs allows rss=n/a
  read -r equal different < <(compare_pieces "$image")
  attach "$image"
  blockdev --flushbufs "$dev"  # cold, as a card just put in
  w0=$(written_sectors "$dev")
  t0=$(now)
  if [ "$have_time" = 1 ]; then
    throttled /usr/bin/time -v -o time.txt "$Q" apply update.qlu --device "$dev" --any-device \
      >apply.log 2>&1 || rc=$?
  else
    throttled "$Q" apply update.qlu --device "$dev" --any-device >apply.log 2>&1 || rc=$?
  fi
  t1=$(now)
  w1=$(written_sectors "$dev")
  [ "$have_time" = 1 ] && rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f MiB", $2 / 1024 }' time.txt)
  if [ $rc != 0 ] && [ $rc != 8 ]; then
    echo "card: qlupdate apply failed on the $name card (exit $rc):" >&2
    tail -n 5 apply.log >&2
    exit 1
  fi
  last_dev=$dev
  secs=$(calc "$t1 - $t0")
  # The card is read while the payload is unpacked; only what differs is
  # written, and only that is read back.
  local judging
  judging=$(echo "r = $equal / $read_bps; if ($unpack > r) $unpack else r" | bc -l)
  allows=$(calc "$judging + $different / $write_bps + $different / $read_bps")
  rows+=("$name|$secs|$(((w1 - w0) * 512 / 1048576))|$((equal / 1048576))|$((equal * 100 / root_bytes))|$allows|$rss|$rc")
  last_secs=$secs
}

# --- 1. upgrade: build 1, run for a while (logs written, some files gone).
echo "card: upgrade: build 1 on the card, used, then the update to build 2" >&2
new_card card.img
put_root root-old.fs card.img
mount_loop=$(losetup -f --show --offset $root_offset --sizelimit $root_bytes card.img)
mkdir -p "$mnt"
mount -t ext4 "$mount_loop" "$mnt" || skip "cannot mount an ext4 file system here"
mkdir -p "$mnt/var/log/quillon" "$mnt/var/lib/quillon"
seq -f 'quillon-ctl[812]: poll %g: sensors ok, queue 3, link up' 1 $((root_mib * 800)) >"$mnt/var/log/quillon/daemon.log"
head -c $((root_mib * 16384)) /dev/urandom >"$mnt/var/lib/quillon/state.bin"
find "$mnt/usr" -type f | sort | awk 'NR % 40 == 0' | tr '\n' '\0' | xargs -0 -r rm -f
umount "$mnt"
losetup -d "$mount_loop"
mount_loop=''
cp --sparse=always card.img card-used.img  # the interrupted case starts from it
rm -f root-old.fs
timed_apply upgrade card.img
time_upgrade=$last_secs

# The plain copy on the same throttled device, and its read for reference.
blockdev --flushbufs "$last_dev"
w0=$(written_sectors "$last_dev")
t0=$(now)
throttled dd if=root-new.fs of="$last_dev" bs=4M oflag=direct,seek_bytes seek=$root_offset \
  conv=fsync,notrunc status=none
t1=$(now)
dd_written=$((($(written_sectors "$last_dev") - w0) * 512))
t_dd=$(calc "$t1 - $t0")
# The same copy through the page cache, synced once at the end, as a job
# that writes buffered does: the throttle meets the kernel's writeback.
blockdev --flushbufs "$last_dev"
t0=$(now)
throttled dd if=root-new.fs of="$last_dev" bs=4M oflag=seek_bytes seek=$root_offset \
  conv=fsync,notrunc status=none
t1=$(now)
t_dd_cached=$(calc "$t1 - $t0")
t0=$(now)
throttled dd if="$last_dev" of=/dev/null bs=4M iflag=direct,skip_bytes,count_bytes \
    skip=$root_offset count=$root_bytes status=none
t1=$(now)
t_read=$(calc "$t1 - $t0")
detach "$last_dev"

# --- 2. unrelated: random content on the root.
echo "card: unrelated: random content on the card" >&2
new_card card.img
head -c $root_bytes /dev/urandom >noise.bin
put_root noise.bin card.img
rm -f noise.bin
timed_apply unrelated card.img
detach "$last_dev"

# --- 3. interrupted: the used card of case 1, an apply stopped at ~60 %.
echo "card: interrupted: an apply stopped (SIGINT) at ~60 % written, then applied again" >&2
mv card-used.img card.img
attach card.img
blockdev --flushbufs "$dev"
w0=$(written_sectors "$dev")
target=$((w0 + root_sectors * 6 / 10))
bash -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$cg" \
  "$Q" --verbose apply update.qlu --device "$dev" --any-device >interrupted.log 2>&1 &
apply_pid=$!
# The stop comes when 60 % of the root has reached the device. (The card is
# written O_DIRECT, so the device's count is what the card holds; the copy's
# log percentage counts the pieces found equal as done and says less.)
signalled=no
while kill -0 "$apply_pid" 2>/dev/null; do
  if [ "$(written_sectors "$dev")" -lt $target ]; then
    sleep 0.05
    continue
  fi
  signalled="at $((($(written_sectors "$dev") - w0) * 512 / 1048576)) MiB on the device"
  kill -INT "$apply_pid" 2>/dev/null || signalled=no
  break
done
stopped_rc=0
wait "$apply_pid" || stopped_rc=$?
apply_pid=''
if [ $stopped_rc != 130 ] && [ $stopped_rc != 0 ]; then
  echo "card: the apply to be interrupted failed (exit $stopped_rc):" >&2
  tail -n 5 interrupted.log >&2
  exit 1
fi
stopped_mib=$((($(written_sectors "$dev") - w0) * 512 / 1048576))
detach "$dev"  # the card taken out
notes+=("The interrupted card: SIGINT sent $signalled; that apply exited $stopped_rc" \
  "having written $stopped_mib MiB.")
timed_apply interrupted card.img
detach "$last_dev"
rm -f card.img root-new.fs

finished=$(now)
{
  echo "| case | time | written | already equal | allows | ratio | against dd | goal | peak RSS | exit |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for row in "${rows[@]}"; do
    IFS='|' read -r name secs written equal share allows rss rc <<<"$row"
    goal=${goals[$name]}
    ratio=$(calc "$secs / $allows") against=$(calc "$secs / $t_dd")
    verdict=$( [ "$(echo "$ratio <= 1.10 && $against <= $goal" | bc -l)" = 1 ] && echo met || echo MISSED)
    printf '| %s | %.2f s | %d MiB | %d MiB (%d %%) | %.2f s | %.3f | %.3f | dd x %s, allows x 1.10: %s | %s | %s |\n' \
      "$name" "$secs" "$written" "$equal" "$share" "$allows" "$ratio" "$against" "$goal" "$verdict" "$rss" "$rc"
  done
  printf '| dd of the new root (oflag=direct, conv=fsync, bs=4M) | %.2f s | %d MiB | | %.2f s at the write rate | | | | | |\n' \
    "$t_dd" $((dd_written / 1048576)) "$(calc "$root_bytes / $write_bps")"
  printf '| dd through the page cache (conv=fsync, bs=4M) | %.2f s | | | | | | | | |\n' "$t_dd_cached"
  echo
  printf 'upgrade against dd: %.3f. ' "$(calc "$time_upgrade / $t_dd")"
  printf 'Throttle set to %d MB/s write, %d MB/s read; dd measured %.1f MB/s writing (%.1f MB/s through the page cache), %.1f MB/s reading (iflag=direct).\n' \
    $((write_bps / 1000000)) $((read_bps / 1000000)) "$(calc "$root_bytes / $t_dd / 1000000")" \
    "$(calc "$root_bytes / $t_dd_cached / 1000000")" \
    "$(calc "$root_bytes / $t_read / 1000000")"
  printf 'Root %d MiB (ext4, %d files / %d MiB in build 1, %d files / %d MiB in build 2), payload %d bytes;' \
    $root_mib "$files_old" "$tree_old_mib" "$files_new" "$tree_new_mib" $payload_bytes
  printf ' unpacking %.2f s = max(sha256sum %.2f s, %s %.2f s), medians of 3, unthrottled.\n' \
    "$unpack" "$sha" "$inflater" "$inflated"
  echo "allows = max(unpacking, equal pieces / read rate) + differing pieces / write rate + differing pieces / read rate (4 MiB pieces): the card is read while the payload is unpacked, and only what was written is read back."
  printf '%s\n' "${notes[@]}" | paste -sd ' '
  [ "$have_time" = 1 ] || echo "Peak RSS not measured: /usr/bin/time is not installed."
  printf 'qlupdate %s; cgroup %s (%s), work folder %s, benchmark %.0f s.\n' "$Q_under_test" "$cg_kind" "$cg_parent" "$work" \
    "$(calc "$finished - $started")"
} | tee "$results"
