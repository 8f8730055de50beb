#!/usr/bin/env bash
# Two builds of one system as ext4 root partitions, the way a build system
# makes them (mke2fs -d): build 1 is every k-th file of /usr/lib and
# /usr/share, about 300 MiB in 512, and build 2 is build 1 after a package
# upgrade. Both have the same UUID and hash seed, as a reproducible image
# build has. Usage: fsroot.sh ROOT_MIB FOLDER; writes FOLDER/root-old.fs and
# FOLDER/root-new.fs and prints "FILES_OLD MIB_OLD FILES_NEW MIB_NEW".
set -euo pipefail
root_mib=$1
cd "$2"
rm -rf tree-old tree-new old.list add.list
tree_budget=$((root_mib * 1048576 / 512 * 300))
echo "fsroot: picking ~$((tree_budget / 1048576)) MiB of /usr/lib and /usr/share for build 1" >&2
# Every k-th file in path order, sizes rounded to the 4 KiB blocks ext4 uses;
# the file after every 12th pick is one the upgrade adds.
{ find /usr/lib /usr/share -xdev -type f -readable -size -16M -printf '%s\t%p\0' 2>/dev/null || true; } |
  perl -e '
    my ($budget) = @ARGV; local $/ = "\0"; my (@f, $total);
    while (<STDIN>) {
      chomp; my ($s, $p) = split /\t/, $_, 2; my $b = (int(($s + 4095) / 4096) || 1) * 4096;
      push @f, [$b, substr($p, 1)]; $total += $b;
    }
    @f = sort { $a->[1] cmp $b->[1] } @f;
    my $k = int($total / $budget) || 1; my ($sum, $n) = (0, 0);
    open my $old, ">", "old.list" or die; open my $add, ">", "add.list" or die;
    for (my $i = 0; $i < @f && $sum < $budget; $i += $k) {
      print $old $f[$i][1], "\0"; $sum += $f[$i][0];
      print $add $f[$i + 1][1], "\0" if ++$n % 12 == 3 && $k > 1 && $i + 1 < @f;
    }' "$tree_budget"
mkdir tree-old tree-new
tar -C / --null --no-recursion -T old.list -cf - | tar -C tree-old -xf -
cp -a tree-old/. tree-new/
# The upgrade: of the files in path order, 2 in 12 get a new version (bytes
# changed throughout, half of them longer), 1 in 12 is removed, and as many
# are added as removed: a third of the files touched.
perl -e '
  local $/ = "\0"; my $i = 0;
  open my $list, "<", "old.list" or die;
  while (my $p = <$list>) {
    chomp $p; my $f = "tree-new/$p"; my $r = $i++ % 12;
    if ($r == 2) { unlink $f or die "$f: $!"; next }
    next if $r > 1;
    open my $h, "+<:raw", $f or die "$f: $!"; local $/; my $d = <$h> // "";
    for (my $o = 0; $o < length $d; $o += 61) { vec($d, $o, 8) = (vec($d, $o, 8) + 1) & 255 }
    $d .= "upgraded $p\n" x (1 + length($d) % 97) if $r == 0;
    seek $h, 0, 0; print $h $d; truncate $h, length $d; close $h;
  }'
[ -s add.list ] && tar -C / --null --no-recursion -T add.list -cf - | tar -C tree-new -xf -
files_old=$(find tree-old -type f | wc -l) files_new=$(find tree-new -type f | wc -l)
tree_old_mib=$(($(du -sk tree-old | cut -f1) / 1024)) tree_new_mib=$(($(du -sk tree-new | cut -f1) / 1024))
root_bytes=$((root_mib * 1048576))
# One build system: the same UUID and hash seed for both builds, as a
# reproducible image build has.
for build in old new; do
  rm -f root-$build.fs
  truncate -s $root_bytes root-$build.fs
  mke2fs -q -F -t ext4 -L quillon-root -U 6c1f4c22-8e54-4d1e-9b0f-5a1e0b7c3d21 \
    -E hash_seed=2f0b6a8e-3c55-4a59-8d3f-8f1b5a6d7e90,root_owner=0:0 -d tree-$build root-$build.fs
done
rm -rf tree-old tree-new old.list add.list
echo "$files_old $tree_old_mib $files_new $tree_new_mib"
