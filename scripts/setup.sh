#!/usr/bin/env bash
# Gives a fresh Debian 12 machine everything the builds and tests need.
# Idempotent: each step checks whether its result is already there.
set -euo pipefail

log() { echo "setup: $*" >&2; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

CACHE_DIR="${QL_CACHE_DIR:-$HOME/.cache/quillon}"
OPENSSL_PREFIX="$CACHE_DIR/openssl-mingw64"

PACKAGES=(
  build-essential cmake ninja-build pkg-config zlib1g-dev libssl-dev
  libgtest-dev googletest
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 fonts-wine xvfb imagemagick fonts-ipafont-gothic locales
  fdisk gdisk dosfstools e2fsprogs pigz qpdf xxd bc time
  clang-14 libfuzzer-14-dev
  dpkg-dev
  lintian osslsigncode openssl python3 groff-base man-db unzip
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The MinGW posix flavour is needed for std::thread.
if update-alternatives --query x86_64-w64-mingw32-g++ 2>/dev/null | grep -q '^Value: .*win32'; then
  $SUDO update-alternatives --set x86_64-w64-mingw32-g++ /usr/bin/x86_64-w64-mingw32-g++-posix >/dev/null
  $SUDO update-alternatives --set x86_64-w64-mingw32-gcc /usr/bin/x86_64-w64-mingw32-gcc-posix >/dev/null
fi

# Wine shows Japanese text only when the process runs in a Japanese locale;
# qlupdate's tests also speak to an EUC-JP terminal.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' || ! locale -a 2>/dev/null | grep -qi '^ja_JP.eucjp$'; then
  log "generating ja_JP.UTF-8 and ja_JP.EUC-JP"
  for entry in 'ja_JP.UTF-8 UTF-8' 'ja_JP.EUC-JP EUC-JP'; do
    $SUDO sed -i "s/^# *$entry/$entry/" /etc/locale.gen
    grep -q "^$entry" /etc/locale.gen || echo "$entry" | $SUDO tee -a /etc/locale.gen >/dev/null
  done
  $SUDO locale-gen >/dev/null
fi

# Debian has no MinGW libcrypto; build it from Debian's own source package, once.
if [ ! -f "$OPENSSL_PREFIX/lib64/libcrypto.a" ]; then
  log "building libcrypto for MinGW into $OPENSSL_PREFIX"
  # Source entries for the suites the machine already uses.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    src_list=/etc/apt/sources.list.d/quillon-deb-src.sources
    [ -f "$src_list" ] ||
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src_list" >/dev/null
  else
    src_list=/etc/apt/sources.list.d/quillon-deb-src.list
    [ -f "$src_list" ] ||
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee "$src_list" >/dev/null
  fi
  $SUDO apt-get update -qq
  work=$(mktemp -d)
  (
    cd "$work"
    apt-get source --download-only openssl/bookworm >/dev/null
    tar xzf openssl_3.0.*.orig.tar.gz
    cd openssl-3.0.*/
    ./Configure mingw64 no-shared no-asm no-tests \
      --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$OPENSSL_PREFIX.part" >/dev/null
    make -j"$(nproc)" build_libs >/dev/null 2>&1
    make install_dev >/dev/null 2>&1
  )
  rm -rf "$OPENSSL_PREFIX"
  mv "$OPENSSL_PREFIX.part" "$OPENSSL_PREFIX"
  rm -rf "$work"
fi

# The Wine prefix (build/wine) with its fonts and drive letters.
bash "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"

log "ready"
