#!/usr/bin/env bash
# The native tests under sanitizers, each in a tree of its own:
#   build/asan  every native test (qlupdate's included) under AddressSanitizer
#               with UndefinedBehaviorSanitizer;
#   build/tsan  the tests whose code runs on several threads (the update job:
#               worker, decompression and hashing) under ThreadSanitizer.
# Any report fails the run, also one from a process whose exit status a test
# does not look at: reports go to files, and any file is a failure.
# Usage: sanitize.sh [asan|tsan] (both without an argument).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=${JOBS:-$(nproc)}
which=${1:-all}

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
status=0

# Prints and counts the reports written under $reports/$1*.
check_reports() {
  local found=0 f
  for f in "$reports/$1"*; do
    [ -e "$f" ] || continue
    found=1
    echo "---- $f"
    cat "$f"
  done
  if [ "$found" -ne 0 ]; then
    echo "sanitize: $1 reports above"
    status=1
  fi
}

# -O1 keeps the build quick and the stacks readable.
configure() {  # build-dir flags
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_C_FLAGS="$2" -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$2" >/dev/null
}

if [ "$which" = all ] || [ "$which" = asan ]; then
  build=build/asan
  configure "$build" "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  cmake --build "$build" -j "$jobs"
  bash scripts/make-testdata.sh "$build/testdata"
  echo "== native tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  # exitcode 86: a report can never pass for an expected exit status of 1.
  ASAN_OPTIONS="detect_leaks=1:exitcode=86:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86:log_path=$reports/ubsan" \
    ctest --test-dir "$build" --output-on-failure -j 2 || status=1
  check_reports asan
  check_reports ubsan
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  build=build/tsan
  tests=(applyupdatefile_test)
  configure "$build" "-fsanitize=thread"
  cmake --build "$build" -j "$jobs" --target "${tests[@]}"
  for t in "${tests[@]}"; do
    echo "== $t (ThreadSanitizer)"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=86:log_path=$reports/tsan" \
      "$build/bin/$t" --gtest_brief=1 || status=1
  done
  check_reports tsan
fi

if [ "$status" -eq 0 ]; then
  echo "sanitize: no reports"
fi
exit "$status"
