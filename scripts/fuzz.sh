#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz: clang-14 with AddressSanitizer
# and UBSan) and runs each one for SECONDS, from the seeds in
# tests/fuzz/corpus. New inputs collect in build/fuzz/corpus/TARGET, inputs
# that fail in build/fuzz/artifacts/TARGET, the output in build/fuzz/logs.
# Prints one line per target (seconds, executions, corpus, outcome) and
# keeps them in build/fuzz/results.txt; any finding fails the run.
# Usage: fuzz.sh [SECONDS] (default: $FUZZ_SECONDS, else 300).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
seconds=${1:-${FUZZ_SECONDS:-300}}
jobs=${JOBS:-$(nproc)}
build=build/fuzz
targets=(loadheader decompress mbr job)

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQL_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]/%/_fuzz}"

mkdir -p "$build/logs"
# The targets write their files anew at every execution; on tmpfs that costs
# no disk writes.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
results="$build/results.txt"
printf '%-12s %8s %12s %8s  %s\n' target seconds executions corpus outcome | tee "$results"
status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$work" "$artifacts"
  outcome=clean
  # New inputs go to the first folder only; the seeds stay as committed.
  if ! "$build/bin/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1; then
    outcome="FAILED, see $log and $artifacts"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  corpus=$(find "$work" "tests/fuzz/corpus/$t" -type f | wc -l)
  printf '%-12s %8s %12s %8s  %s\n' "$t" "${took:-?}" "${execs:-?}" "$corpus" "$outcome" |
    tee -a "$results"
  [ "$outcome" = clean ] || grep -E -m 8 'ERROR|==fuzz==|SUMMARY|Test unit written' "$log" || true
done
exit "$status"
