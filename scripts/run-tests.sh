#!/usr/bin/env bash
# Runs every test: the native tree directly, the Windows tree under Wine.
# One exit status for all of them.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash scripts/make-testdata.sh build/native/testdata || exit 1
bash scripts/make-testdata.sh build/windows/testdata || exit 1
bash scripts/wine-prefix.sh || exit 1

status=0
echo "== native tests"
ctest --test-dir build/native --output-on-failure -j 2 || status=1
echo "== sanitizers (build/asan: every native test; build/tsan: the threaded ones)"
bash scripts/sanitize.sh || status=1
echo "== fuzz targets, briefly (make fuzz runs them longer)"
bash scripts/fuzz.sh 5 || status=1
echo "== windows tests (Wine)"
# One Wine server for the whole run: a server that ends between two tests
# can drop the next test's connection as it starts ("recvmsg" errors).
WINEPREFIX="$here/build/wine" wineserver -p60 2>/dev/null || true
ctest --test-dir build/windows --output-on-failure -j 2 || status=1
echo "== release files (make dist twice, the zip under Wine, the package, signing)"
bash tests/dist/dist_test.sh || status=1
if [ "$status" -eq 0 ]; then
  echo "all tests passed"
else
  echo "some tests failed"
fi
exit "$status"
