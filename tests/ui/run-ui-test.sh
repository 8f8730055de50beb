#!/usr/bin/env bash
# ctest's entry for the UI test: makes sure the Wine prefix is ready, then
# runs the driver under Wine on a private Xvfb display.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bash "$here/scripts/wine-prefix.sh"
exec bash "$here/scripts/with-xvfb.sh" bash "$here/scripts/wine-run.sh" "$@"
