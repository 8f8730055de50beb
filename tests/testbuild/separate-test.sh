#!/usr/bin/env bash
# The test drives are in QuillonUpdateTest.exe and nowhere in the product.
set -u
product=${1:?usage: separate-test.sh QuillonUpdate.exe QuillonUpdateTest.exe}
testbuild=${2:?usage: separate-test.sh QuillonUpdate.exe QuillonUpdateTest.exe}
status=0
if grep -q -a QUILLON_TEST_DRIVES "$product"; then
  echo "FAIL: $product reads QUILLON_TEST_DRIVES"
  status=1
fi
if ! grep -q -a QUILLON_TEST_DRIVES "$testbuild"; then
  echo "FAIL: $testbuild does not read QUILLON_TEST_DRIVES"
  status=1
fi
[ "$status" -eq 0 ] && echo "QUILLON_TEST_DRIVES: only in $(basename "$testbuild")"
exit "$status"
