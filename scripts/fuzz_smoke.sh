#!/usr/bin/env bash
# Builds the protocol fuzz target with clang (in build-fuzz) and runs it for
# the given number of seconds (default 60). Exits non-zero when the build
# fails or the fuzzer finds a crash; the crashing input is left in build-fuzz.
# Installs clang and its fuzzer runtime when they are missing.
#
#   scripts/fuzz_smoke.sh [seconds] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=${QL_FUZZ_BUILD_DIR:-build-fuzz}
source scripts/common.sh

bash scripts/install_deps.sh cmake ninja-build clang libclang-rt-14-dev

cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQL_FUZZ=ON -DQL_TESTS=OFF -DQL_TOOLS=OFF >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
ninja -C "$dir" -j"$JOBS" protocol_fuzz

# A few well-formed conversations to start from. The first byte of an input
# sets the size of the pieces in which the rest arrives (\000: byte by
# byte, \005: whole).
corpus=$dir/corpus/protocol
mkdir -p "$corpus"
printf '\005OK\nPING\nUPDATE2 abc 0.5 -1, DEF 1 1\n' >"$corpus/greeting_update2"
printf '\000OKAY\nUPDATE a 0.2, A 0.9, b nan, c inf\r\nPI\rNG\n' >"$corpus/update_merge"
printf '\002OK\nUPDATEx 1e999 -1e999,,, y -0 0x1p-2\nPING \nping\n' >"$corpus/odd_numbers"
printf '\005OK\nPIN' >"$corpus/partial"

exec "$dir/bin/protocol_fuzz" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/" "$@" "$corpus"
