#!/usr/bin/env bash
# The whole test run: native tests, ASan+UBSan, TSan, the Windows x64 build
# and its tests under Wine, the checks of both shipped libraries (exports,
# imports, no test seams), the bundle checks (stock and a community's) and
# a short fuzzing run.
# Installs what it needs on a fresh machine.
#
#   scripts/test.sh            everything
#   QL_FUZZ_SECONDS=10 scripts/test.sh   shorter fuzzing
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/common.sh
FUZZ_SECONDS=${QL_FUZZ_SECONDS:-60}

bash scripts/install_deps.sh cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev \
  libsndfile1-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 binutils locales zip unzip \
  python3 libasio-dev libcpp-httplib-dev nlohmann-json3-dev libtomlplusplus-dev libsqlite3-dev libcli11-dev \
  pkg-config || exit 1

# Nothing outside the checkout and temporary directories is written, but
# for package installs.
#
# The decimal-comma locale the parsing tests run under, compiled into the
# build folder and found through LOCPATH (which then replaces the system's
# locales for every test process).
LOCALES=$ROOT/build-locale
if [ ! -f "$LOCALES/de_DE.UTF-8/LC_NUMERIC" ]; then
  mkdir -p "$LOCALES"
  localedef -i de_DE -f UTF-8 "$LOCALES/de_DE.UTF-8" >/dev/null 2>&1 ||
    echo "note: localedef could not build de_DE.UTF-8; the decimal-comma tests will be skipped"
fi
export LOCPATH=$LOCALES

# The Windows suite resolves a non-ASCII host name: Windows encodes it for
# the resolver (IDN), and a hosts file maps that form to loopback. The suite
# runs in a mount namespace of its own that sees that hosts file in place of
# the system's; where no namespace can be made, that one test says so and
# skips.
HOSTS=$ROOT/build-win/hosts
in_test_hosts() { # command...
  mkdir -p "$(dirname "$HOSTS")"
  { cat /etc/hosts 2>/dev/null; echo '127.0.0.1 xn--jrg-sna.tolvanrix.test'; } >"$HOSTS"
  if unshare -m true 2>/dev/null; then
    unshare -m sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$HOSTS" "$@"
  elif unshare -rm true 2>/dev/null; then
    unshare -rm sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$HOSTS" "$@"
  else
    "$@"
  fi
}

passed=0
failed=0
failures=()
step() { # name, command...
  local name=$1
  shift
  echo
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
    echo "-- $name: ok"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "-- $name: FAILED"
  fi
}

build() { # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  ninja -C "$dir" -j"$JOBS" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
}

run_ctest() { # dir, ctest args...
  local dir=$1
  shift
  (cd "$dir" && ctest -j"$JOBS" --output-on-failure --timeout 300 "$@")
}

# The demo check follows real-time audio at twice its speed: it is a test of
# the whole system, run natively, not of the code under a sanitizer's load.
SANITIZED_SKIP=(-E '^demo_levels$')

native() { build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQL_BENCH=ON && run_ctest "$ROOT/build"; }

asan() {
  build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQL_SANITIZE=address -DQL_TOOLS=ON &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_ctest "$ROOT/build-asan" "${SANITIZED_SKIP[@]}"
}

tsan() {
  build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQL_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$ROOT/build-tsan" "${SANITIZED_SKIP[@]}"
}

linux_library() { bash scripts/check_library.sh "$ROOT/build/bin/quorra_link.so"; }

# GoogleTest for the cross compiler is built once into build-win-deps.
windows_build() {
  bash scripts/win_gtest.sh "$ROOT/build-win-deps" &&
    build "$ROOT/build-win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_PREFIX_PATH="$ROOT/build-win-deps"
}

windows_library() { bash scripts/check_library.sh "$ROOT/build-win/bin/quorra_link.dll"; }

wine_tests() ( # a subshell: its environment stays its own
  unset LOCPATH  # Wine's C runtime has locales of its own
  export WINEPREFIX=$ROOT/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  unset DISPLAY
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null
  wineboot -i </dev/null >/dev/null 2>&1
  local rc=0
  for exe in "$ROOT"/build-win/bin/*_tests.exe; do
    echo "-- wine $(basename "$exe")"
    (cd "$ROOT/build-win/bin" && in_test_hosts timeout 600 wine "$exe" --gtest_brief=1) || rc=1
  done
  wineserver -k 2>/dev/null
  return $rc
)

# The stock bundle, then a community's: its two extra builds compile only
# the libraries. Its key goes the ways the operators' guide recommends: from
# a file to the build, from the environment to the check.
COMMUNITY_SERVER=127.0.0.1:9999
COMMUNITY_KEY=demo-key
bundle() (
  key_dir=$(mktemp -d)
  trap 'rm -rf "$key_dir"' EXIT
  printf '%s\n' "$COMMUNITY_KEY" >"$key_dir/key"
  bash scripts/bundle.sh --no-install && bash scripts/test_bundle.sh &&
    bash scripts/bundle.sh --no-install --server "$COMMUNITY_SERVER" --key-file "$key_dir/key" &&
    QL_API_KEY=$COMMUNITY_KEY bash scripts/test_bundle.sh --server "$COMMUNITY_SERVER"
)

fuzz_smoke() {
  if [ -x scripts/fuzz_smoke.sh ]; then
    bash scripts/fuzz_smoke.sh "$FUZZ_SECONDS"
  else
    echo "no fuzz targets yet"
  fi
}

step "native build and tests" native
step "Linux library: exports, no test seams" linux_library
step "ASan+UBSan build and tests" asan
step "TSan build and tests" tsan
step "Windows x64 cross build" windows_build
step "Windows library: exports, imports, no test seams" windows_library
step "Windows tests under Wine" wine_tests
step "installable bundle build and check" bundle
step "fuzz smoke run (${FUZZ_SECONDS}s)" fuzz_smoke

echo
if ((failed)); then
  printf 'failed step: %s\n' "${failures[@]}"
fi
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
