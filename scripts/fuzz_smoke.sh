#!/usr/bin/env bash
# Builds the fuzz targets with clang (in build-fuzz) and runs them: the
# plug-in's protocol for the given number of seconds (default 60), then the
# falloff server's greeting reader and its world reader for a quarter of
# that each (at least 2 s). Exits non-zero when the build fails or a fuzzer
# finds a crash; the crashing input is left in build-fuzz.
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
ninja -C "$dir" -j"$JOBS" protocol_fuzz server_hello_fuzz world_fuzz

# A few well-formed conversations to start from. The first byte of an input
# sets the size of the pieces in which the rest arrives (\000: byte by
# byte, \005: whole).
corpus=$dir/corpus/protocol
mkdir -p "$corpus"
printf '\005OK\nPING\nUPDATE2 abc 0.5 -1, DEF 1 1\n' >"$corpus/greeting_update2"
printf '\000OKAY\nUPDATE a 0.2, A 0.9, b nan, c inf\r\nPI\rNG\n' >"$corpus/update_merge"
printf '\002OK\nUPDATEx 1e999 -1e999,,, y -0 0x1p-2\nPING \nping\n' >"$corpus/odd_numbers"
printf '\005OK\nPIN' >"$corpus/partial"

"$dir/bin/protocol_fuzz" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/" "$@" "$corpus"

server_seconds=$((seconds / 4 > 2 ? seconds / 4 : 2))
hello=$dir/corpus/server_hello
mkdir -p "$hello"
printf 'HELLO the-current-key 5eed1e55c0ffee00d15ea5e0123456789abcdef0 {"version":"1.0","build":"0.1.0"}\r\nPING\n!verify 5EED1E55\n' \
  >"$hello/greeting"
printf 'HELLO the-previous-key ABCDEF01\n!VERIFY\t1f0c2a3b extra\n!verify\n' >"$hello/rotation"
"$dir/bin/server_hello_fuzz" -max_total_time="$server_seconds" -max_len=8192 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/server_hello-" "$@" "$hello"

world=$dir/corpus/world
mkdir -p "$world"
printf '{"players":[{"id":"a","x":0,"y":0,"z":0,"yaw":0},{"id":"b","x":0,"y":500,"z":0,"yaw":90,"range":"shout"}]}' \
  >"$world/two"
printf '{"players":[{"id":"a","x":1e12,"y":-0,"z":0,"yaw":1e9,"alive":false},{"id":7,"x":0,"y":0,"z":0,"yaw":0}]}' \
  >"$world/edges"
exec "$dir/bin/world_fuzz" -max_total_time="$server_seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/world-" "$@" "$world"
