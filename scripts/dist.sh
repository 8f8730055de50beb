#!/usr/bin/env bash
# make dist: the release files in dist/, built in fresh build trees.
#   QuillonUpdate-VERSION-win64.zip  the Windows programs, licences and guide
#   qlupdate_VERSION_amd64.deb       qlupdate for Debian
#   SHA256SUMS
# Two runs of one commit give the same bytes: every time in them is the
# commit's (SOURCE_DATE_EPOCH), and no build folder reaches them.
# SIGN_CERT and SIGN_KEY (PEM files) sign both executables.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
log() { echo "dist: $*" >&2; }
fail() {
  log "$*"
  exit 1
}

version=$(head -n 1 VERSION)
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    fail "this is no git checkout: give SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  log "warning: uncommitted changes; these files are not those of commit $(git rev-parse --short HEAD)"
fi

signing=0
if [ -n "${SIGN_CERT:-}" ] || [ -n "${SIGN_KEY:-}" ]; then
  [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || fail "signing needs both SIGN_CERT and SIGN_KEY"
  for f in "$SIGN_CERT" "$SIGN_KEY"; do
    [ -r "$f" ] || fail "cannot read $f"
  done
  command -v osslsigncode >/dev/null || fail "signing needs osslsigncode"
  signing=1
fi

work=build/dist
rm -rf "$work" dist
mkdir -p "$work" dist

log "building the Windows programs"
cmake -S . -B "$work/windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQL_TESTS=OFF >/dev/null
cmake --build "$work/windows" --target QuillonUpdate qlupdate >/dev/null

log "building qlupdate for Debian"
# Debian's hardening flags, as a package built by its own tools would have.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
  CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  cmake -S . -B "$work/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQL_TESTS=OFF >/dev/null
cmake --build "$work/native" --target qlupdate >/dev/null

# ---- the zip ----
folder="QuillonUpdate-$version"
stage="$work/zip/$folder"
mkdir -p "$stage"
for exe in QuillonUpdate.exe qlupdate.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$exe" "$work/windows/bin/$exe"
  if [ $signing -eq 1 ]; then
    bash scripts/sign-exe.sh "$stage/$exe" "$SIGN_CERT" "$SIGN_KEY"
  fi
done
if [ $signing -eq 1 ]; then
  log "signed QuillonUpdate.exe and qlupdate.exe with $SIGN_CERT"
else
  log "unsigned: give SIGN_CERT and SIGN_KEY to sign the executables"
fi
# Windows users' editors expect CRLF, and Japanese ones Shift-JIS (CP932).
sed 's/$/\r/' resources/licenses.txt >"$stage/LICENSES.txt"
iconv -f UTF-8 -t CP932 resources/readme-ja.txt | sed 's/$/\r/' >"$stage/お読みください.txt"

zip="dist/$folder-win64.zip"
python3 - "$zip" "$work/zip" "$folder" "$SOURCE_DATE_EPOCH" \
  QuillonUpdate.exe qlupdate.exe LICENSES.txt お読みください.txt <<'EOF'
# Fixed order, times and permissions. Non-ASCII names are stored as UTF-8
# with the flag that tells Windows so.
import sys, time, zipfile
out, base, folder, epoch, names = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:]
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times begin in 1980
with zipfile.ZipFile(out, "w") as z:
    entry = zipfile.ZipInfo(folder + "/", stamp)
    entry.external_attr = 0o040755 << 16 | 0x10
    z.writestr(entry, b"")
    for name in names:
        entry = zipfile.ZipInfo(folder + "/" + name, stamp)
        entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(base + "/" + folder + "/" + name, "rb") as f:
            z.writestr(entry, f.read(), compresslevel=9)
EOF

# ---- the Debian package ----
deb="dist/qlupdate_${version}_amd64.deb"
pkg="$work/deb/qlupdate"
doc="$pkg/usr/share/doc/qlupdate"
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man1" "$doc"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
  -o "$pkg/usr/bin/qlupdate" "$work/native/bin/qlupdate"
chmod 0755 "$pkg/usr/bin/qlupdate"
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
sed "s/@VERSION@/$version/g; s/@DATE@/$date/g" cli/qlupdate.1 | gzip -9n >"$pkg/usr/share/man/man1/qlupdate.1.gz"
site=$(sed -n 's/^#define QL_SITE_URL "\(.*\)"$/\1/p' resources/product.h)
sed "s|@SITE@|$site|" resources/debian/copyright >"$doc/copyright"
maintainer=$(sed -n 's/^Upstream-Contact: //p' resources/debian/copyright)
printf 'qlupdate (%s) stable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
  "$version" "$version" "$maintainer" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")" |
  gzip -9n >"$doc/changelog.gz"
find "$pkg/usr" -type f ! -path '*/bin/*' -exec chmod 0644 {} +

# dpkg-shlibdeps reads the package list from debian/control.
mkdir -p "$work/deb/src/debian"
printf 'Source: qlupdate\n\nPackage: qlupdate\nArchitecture: amd64\n' >"$work/deb/src/debian/control"
shlibs=$(cd "$work/deb/src" && dpkg-shlibdeps -O "$root/$pkg/usr/bin/qlupdate") ||
  fail "dpkg-shlibdeps could not read qlupdate's libraries"
depends=$(sed -n 's/^shlibs:Depends=//p' <<<"$shlibs")
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"
size=$(du -sk --apparent-size "$pkg/usr" | cut -f1)
sed "s/@VERSION@/$version/; s/@DEPENDS@/$depends/; s/@SIZE@/$size/; s/@MAINTAINER@/$maintainer/; s|@SITE@|$site|" \
  resources/debian/control >"$pkg/DEBIAN/control"
(cd "$pkg" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$pkg/DEBIAN/md5sums"
chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null

(cd dist && sha256sum "$folder-win64.zip" "qlupdate_${version}_amd64.deb" >SHA256SUMS)
log "wrote dist/:"
sed 's/^/  /' dist/SHA256SUMS >&2
