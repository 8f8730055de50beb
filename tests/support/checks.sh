# Checks shared by the shell tests, which source this file.
# qlupdate speaks Japanese to a terminal whose codeset has it, English to
# others; the checks read it in UTF-8 unless a case says otherwise.
export LC_ALL=C.UTF-8
passed=0 failed=0
expect() {  # name expected-status actual-status
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL: $1 (exit $3, expected $2)"; fi
}
ok() {  # name condition...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
# SHA-256 of a byte range of a file (to its end without a count).
sha() { dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" ${3:+count=$3} status=none | sha256sum; }
# A card image: boot partition at sector 2048, root partition of root-MiB at 18432.
card() {  # image root-MiB
  truncate -s $((9 + $2 + 1))M "$1"
  printf 'label: dos\nstart=2048, size=16384, type=c\nstart=18432, size=%d, type=83\n' $(($2 * 2048)) |
    sfdisk --quiet --no-reread --no-tell-kernel "$1" >/dev/null
}
# The summary line; the status says whether every check passed.
report() {
  echo "$passed passed, $failed failed"
  [ $failed -eq 0 ]
}
