#!/usr/bin/env bash
# The release files of this commit: make dist in two clones, in two folders
# and at two times, gives the same bytes; the zip, unpacked, runs under Wine;
# the package passes lintian, and its qlupdate applies the demo update; a
# build given a certificate signs both executables.
# Needs the Windows tree's release_ui_test.exe (make windows).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$here/tests/support/checks.sh"
scratch=$(mktemp -d /tmp/ql-dist.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
version=$(head -n 1 "$here/VERSION")
zip=QuillonUpdate-$version-win64.zip
deb=qlupdate_${version}_amd64.deb
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ]; then
  echo "note: uncommitted changes are not tested here, only commit $(git -C "$here" rev-parse --short HEAD)"
fi

build() {  # folder [VAR=value...]: make dist of this commit in a clone at folder
  local dir=$1
  shift
  mkdir -p "$(dirname "$dir")"
  git clone -q "$here" "$dir" && (cd "$dir" && env "$@" bash scripts/dist.sh) >"$dir.log" 2>&1
  local status=$?
  echo "  $(date -u +%T) built in $dir (exit $status)"
  [ $status -eq 0 ] || sed 's/^/    /' "$dir.log"
  return $status
}

echo "== two builds of one commit"
a=$scratch/a
b=$scratch/elsewhere/with/a/longer/name/b
build "$a" || exit 1
sleep 1  # a later second, whatever the machine's speed
build "$b" || exit 1
printf '  %-34s %-18s %s\n' file "first build" "second build"
for f in "$zip" "$deb" SHA256SUMS; do
  printf '  %-34s %-18s %s\n' "$f" "$(sha256sum <"$a/dist/$f" | cut -c1-16)" \
    "$(sha256sum <"$b/dist/$f" | cut -c1-16)"
  ok "the second build gives the same $f" cmp -s "$a/dist/$f" "$b/dist/$f"
done
ok "SHA256SUMS matches the files" bash -c "cd '$a/dist' && sha256sum --quiet -c SHA256SUMS"
ok "an unsigned build says so" grep -q "^dist: unsigned" "$a.log"

echo "== the zip"
user=$scratch/user
ok "the zip holds one folder with the programs, licences and guide, names in UTF-8" \
  python3 - "$a/dist/$zip" "$user" "QuillonUpdate-$version" <<'EOF'
import sys, zipfile
path, dest, folder = sys.argv[1:]
with zipfile.ZipFile(path) as z:
    names = [i.filename for i in z.infolist()]
    expected = [folder + "/"] + [folder + "/" + n for n in
        ("QuillonUpdate.exe", "qlupdate.exe", "LICENSES.txt", "お読みください.txt")]
    if names != expected:
        sys.exit("entries: %s" % names)
    if not z.getinfo(expected[-1]).flag_bits & 0x800:
        sys.exit("the guide's name is not marked UTF-8")
    z.extractall(dest)
EOF
app=$user/QuillonUpdate-$version
guide=$app/お読みください.txt
ok "the guide is the source text in CP932" \
  bash -c "iconv -f CP932 -t UTF-8 '$guide' | tr -d '\r' | cmp -s - '$here/resources/readme-ja.txt'"
for name in QuillonUpdate.exe qlupdate.exe LICENSES.txt お読みください.txt; do
  ok "the guide names $name" grep -qF "$name" "$here/resources/readme-ja.txt"
done
ok "every line of the guide and the licences ends in CRLF" \
  bash -c "! grep -qv \$'\\r\$' '$guide' '$app/LICENSES.txt'"
for exe in "$app/QuillonUpdate.exe" "$app/qlupdate.exe"; do
  ok "no build folder in $(basename "$exe")" bash -c "! grep -qaF -e '$scratch' -e '$HOME/' '$exe'"
done
ok "qlupdate.exe --version" \
  bash -c "bash '$here/scripts/wine-run.sh' '$app/qlupdate.exe' --version | tr -d '\r' | grep -qx 'qlupdate $version'"
ok "QuillonUpdate.exe started from the unpacked folder (Wine)" \
  env QL_APP_EXE="$app/QuillonUpdate.exe" QL_EXPECT_VERSION="$version" \
  bash "$here/tests/ui/run-ui-test.sh" "$here/build/windows/bin/release_ui_test.exe"

echo "== the package"
ok "package version" bash -c "[ \"\$(dpkg-deb -f '$a/dist/$deb' Version)\" = '$version' ]"
ok "dependencies from the libraries it links" \
  bash -c "dpkg-deb -f '$a/dist/$deb' Depends | grep -q 'libssl3.*zlib1g'"
ok "the package's files, owned by root" bash -c "[ \"\$(dpkg-deb -c '$a/dist/$deb' |
  awk '\$1 !~ /^d/ { print \$2, \$6 }')\" = 'root/root ./usr/bin/qlupdate
root/root ./usr/share/doc/qlupdate/changelog.gz
root/root ./usr/share/doc/qlupdate/copyright
root/root ./usr/share/man/man1/qlupdate.1.gz' ]"
echo "  lintian:"
lintian --fail-on error "$a/dist/$deb" 2>&1 | grep -v "running with root privileges" | sed 's/^/    /'
expect "lintian finds no error" 0 "${PIPESTATUS[0]}"
root=$scratch/root
dpkg -x "$a/dist/$deb" "$root"
ok "no build folder in qlupdate" bash -c "! grep -qaF -e '$scratch' -e '$HOME/' '$root/usr/bin/qlupdate'"
ok "qlupdate --version" bash -c "'$root/usr/bin/qlupdate' --version | grep -qx 'qlupdate $version'"
ok "the manual page names the version" \
  bash -c "zcat '$root/usr/share/man/man1/qlupdate.1.gz' | grep -q '^\.TH QLUPDATE 1 .* \"qlupdate $version\"'"
QL_DEMO_QLUPDATE=$root/usr/bin/qlupdate QL_DEMO_OUT=$scratch/demo bash "$here/scripts/demo.sh" >"$scratch/demo.log" 2>&1
expect "the packaged qlupdate makes, inspects and applies the demo update" 0 $?
grep -E "^(ok|FAIL)|^demo" "$scratch/demo.log" | sed 's/^/  /'

echo "== signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillon Test Signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
(cd "$a" && SIGN_CERT="$scratch/cert.pem" bash scripts/dist.sh) >/dev/null 2>&1
expect "a certificate without its key is refused" 1 $?
ok "and the refused run leaves the files before it" cmp -s "$a/dist/$deb" "$b/dist/$deb"
c=$scratch/c
build "$c" SIGN_CERT="$scratch/cert.pem" SIGN_KEY="$scratch/key.pem" || exit 1
ok "a signed build says so" grep -q "^dist: signed" "$c.log"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "$c/dist/$zip" "$scratch/signed"
for exe in QuillonUpdate.exe qlupdate.exe; do
  osslsigncode verify -CAfile "$scratch/cert.pem" -in "$scratch/signed/QuillonUpdate-$version/$exe" \
    >"$scratch/verify.log" 2>&1
  expect "osslsigncode verify $exe" 0 $?
  ok "$exe was signed with sha256" grep -q "Message digest algorithm *: SHA256" "$scratch/verify.log"
done
ok "signing leaves the package as it was" cmp -s "$a/dist/$deb" "$c/dist/$deb"
report
