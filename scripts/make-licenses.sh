#!/usr/bin/env bash
# Assembles resources/licenses.txt, the licence texts of the libraries linked
# into QuillonUpdate.exe: the MinGW-w64 runtime with winpthreads, zlib and
# OpenSSL 3. The texts come from Debian's copyright files and from LICENSE.txt
# of Debian's openssl source package, so they match what the build links.
#
#   make-licenses.sh [OUT]            default OUT: resources/licenses.txt
#   OPENSSL_ORIG=openssl_3.0.*.orig.tar.gz make-licenses.sh   skips the download
#
# The download needs deb-src entries, which scripts/setup.sh adds.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-$(dirname "$here")/resources/licenses.txt}
doc=/usr/share/doc
mingw=$doc/mingw-w64-common/copyright
zlib_mingw=$doc/libz-mingw-w64/copyright
zlib_native=$doc/zlib1g/copyright
ssl=$doc/libssl3/copyright
for f in "$mingw" "$zlib_mingw" "$zlib_native" "$ssl"; do
  [ -f "$f" ] || { echo "make-licenses: $f is missing (install its package)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# license FILE NAME: the text of the first "License: NAME" paragraph of a
# Debian copyright file that has one (the field also appears bare, without
# text, inside Files paragraphs). "." lines are paragraph breaks.
license() {
  awk -v name="$2" '
    found && /^[ \t]/ { line = substr($0, 2); if (line == ".") line = ""; print line; n++; next }
    found { if (n) exit; found = 0 }
    $0 == "License: " name { found = 1 }
  ' "$1"
}

# copyright FILE FILES [MAX]: the Copyright field of the paragraph whose
# Files field starts with FILES, one "Copyright (c) ..." line per holder.
copyright() {
  awk -v files="$2" -v max="${3:-99}" '
    function holder(text) { if (n++ < max) print "Copyright (c) " text }
    /^Files:/ { here = ($0 == "Files: " files); next }
    here && /^Copyright:/ { sub(/^Copyright:[ \t]*/, ""); holder($0); copying = 1; next }
    copying && /^[ \t]/ { sub(/^[ \t]+/, ""); holder($0); next }
    { copying = 0 }
  ' "$1"
}

# The zlib licence ends with the authors' addresses; the README notes after
# them are not part of it. Taken with the upstream indentation of the native
# package's copy, which must carry the same words as the linked package's.
zlib_text() { license "$zlib_native" Zlib | sed '/madler@alumni\.caltech\.edu/q'; }
words() { tr -s ' \n' '  '; }
if [ "$(license "$zlib_native" Zlib | words)" != "$(license "$zlib_mingw" Zlib | words)" ]; then
  echo "make-licenses: the two zlib copyright files differ in wording" >&2
  exit 1
fi

orig=${OPENSSL_ORIG:-}
if [ -z "$orig" ]; then
  (cd "$work" && apt-get source --download-only -qq openssl/bookworm >/dev/null 2>&1) || {
    echo "make-licenses: apt-get source openssl/bookworm failed (deb-src entries: scripts/setup.sh)" >&2
    exit 1
  }
  orig=$(ls "$work"/openssl_3.*.orig.tar.gz)
fi
tar xzf "$orig" -C "$work" --wildcards --no-wildcards-match-slash 'openssl-*/LICENSE.txt'
apache=$(ls "$work"/openssl-*/LICENSE.txt)

# Drops leading and trailing empty lines.
trim() { awk 'NF { for (; held > 0; held--) print ""; print; seen = 1; next } seen { held++ }'; }

{
  echo "MinGW-w64 runtime"
  echo "MinGW-w64 API headers"
  echo
  copyright "$mingw" '*'
  echo
  license "$mingw" ZPL-2.1
  echo
  # The members of libmingwex that a static link pulls in for printf and
  # number conversion (gdtoa, mingw_pformat) carry notices of their own.
  echo "Parts of the runtime carry these notices:"
  for part in Lucent:mingw-w64-crt/gdtoa/\* David-Gay:mingw-w64-crt/gdtoa/qnan.c \
    Keith-Marshall:mingw-w64-crt/misc/basename.c; do
    echo
    copyright "$mingw" "${part#*:}"
    echo
    license "$mingw" "${part%%:*}"
  done
  echo
  echo "winpthreads"
  echo
  copyright "$mingw" 'mingw-w64-libraries/winpthreads/*'
  echo
  license "$mingw" expat
  echo
  copyright "$mingw" 'mingw-w64-libraries/winpthreads/include/pthread.h'
  echo
  license "$mingw" BSD-3-clause-Lockless
  echo "---"
  echo "zlib"
  echo
  copyright "$zlib_mingw" '*' 1
  echo
  zlib_text
  echo "---"
  echo "OpenSSL"
  echo
  # The first two holders, as in OpenSSL's own README.
  copyright "$ssl" '*' 2 | sed 's/^\(Copyright (c) [0-9-]*\),/\1/'
  echo
  trim <"$apache"
} | expand >"$work/licenses.txt"

if LC_ALL=C grep -n '[^ -~]' "$work/licenses.txt" >&2; then
  echo "make-licenses: the lines above are not plain ASCII" >&2
  exit 1
fi
mv "$work/licenses.txt" "$out"
echo "make-licenses: wrote $out ($(wc -l <"$out") lines, $(wc -c <"$out") bytes)"
