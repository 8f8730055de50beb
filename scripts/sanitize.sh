#!/usr/bin/env bash
# ThreadSanitizer run of the tests whose code runs on several threads (the
# update job: worker, decompression and hashing). A native tree of its own,
# build/tsan, builds only those tests; any report fails the run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
build=build/tsan
tests=(applyupdatefile_test)

flags="-fsanitize=thread -g -O1"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${tests[@]}"

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for t in "${tests[@]}"; do
  echo "== $t (ThreadSanitizer)"
  "$build/bin/$t" --gtest_brief=1
done
echo "sanitize: no reports"
