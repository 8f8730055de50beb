#!/usr/bin/env bash
# sign-exe.sh EXE CERT KEY: signs EXE in place, Authenticode with SHA-256.
# The signing time is SOURCE_DATE_EPOCH's when set, so that one key signs one
# build to the same bytes every time.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: sign-exe.sh EXE CERT KEY" >&2; exit 64; }
exe=$1 cert=$2 key=$3
site=$(sed -n 's/^#define QL_SITE_URL "\(.*\)"$/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../resources/product.h")
time=()
[ -n "${SOURCE_DATE_EPOCH:-}" ] && time=(-time "$SOURCE_DATE_EPOCH")
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Quillon Update Tool" \
  -i "$site" "${time[@]}" -in "$exe" -out "$exe.signed" >/dev/null ||
  { rm -f "$exe.signed"; echo "sign-exe: osslsigncode could not sign $exe" >&2; exit 1; }
mv "$exe.signed" "$exe"
