#!/usr/bin/env bash
# A short demo run (synthetic voices, simulated time at twice the wall
# clock) whose recording must follow the levels the plug-in applied.
#   levels_test.sh <directory of the built programs>
set -euo pipefail
BIN=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=$(mktemp -d "${TMPDIR:-/tmp}/ql-demo-XXXXXX")
trap 'rm -rf "$OUT"' EXIT

if ! bash "$ROOT/scripts/demo.sh" --no-install --no-build --no-plot --synthetic --seconds 10 --speed 2 \
  --build-dir "$(dirname "$BIN")" --out "$OUT/run" >"$OUT/demo.log" 2>&1; then
  cat "$OUT/demo.log"
  exit 1
fi
python3 "$ROOT/tests/demo/check_levels.py" "$OUT/run" || { cat "$OUT/demo.log"; exit 1; }
