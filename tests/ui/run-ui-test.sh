#!/usr/bin/env bash
# ctest's entry for the UI test: makes sure the Wine prefix is ready, then
# runs the driver under Wine on a private Xvfb display, at the display DPI
# QL_UI_DPI (96 unless given; scripts/with-dpi.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exec bash "$here/scripts/with-dpi.sh" "${QL_UI_DPI:-96}" \
  bash "$here/scripts/with-xvfb.sh" bash "$here/scripts/wine-run.sh" "$@"
