#!/usr/bin/env bash
# Builds GoogleTest for the Windows cross compiler, once, from the machine's
# GoogleTest sources (/usr/src/googletest, from Debian's libgtest-dev), and
# installs it into PREFIX (default build-win-deps). A Windows configure with
# tests finds it there through -DCMAKE_PREFIX_PATH=PREFIX.
#
# Static libraries, and any program linked with the static runtime as the
# project's own test programs are, so the tests run under Wine without
# MinGW's runtime DLLs. Nothing is done when PREFIX already holds a build
# from the same GoogleTest sources and toolchain file.
#
#   scripts/win_gtest.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/common.sh
PREFIX=$(realpath -m "${1:-$ROOT/build-win-deps}")
SRC=/usr/src/googletest
TOOLCHAIN=$ROOT/cmake/mingw-w64.cmake
STAMP=$PREFIX/googletest.stamp

bash scripts/install_deps.sh cmake ninja-build libgtest-dev googletest g++-mingw-w64-x86-64-posix

# What the installed build came from: rebuilt when either changes.
origin="googletest $(dpkg-query -W -f='${Version}' googletest) $(sha256sum "$TOOLCHAIN" | cut -c1-16)"
if [ -f "$PREFIX/lib/cmake/GTest/GTestConfig.cmake" ] && [ "$(cat "$STAMP" 2>/dev/null)" = "$origin" ]; then
  echo "GoogleTest for Windows: in $PREFIX"
  exit 0
fi

echo "== building GoogleTest for Windows into $PREFIX"
work=$PREFIX/build/googletest
rm -rf "$work" "$STAMP"
mkdir -p "$work"
static_runtime="-static -static-libgcc -static-libstdc++"
cmake -S "$SRC" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_CXX_STANDARD=20 -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -Dgtest_force_shared_crt=ON \
  -DCMAKE_EXE_LINKER_FLAGS="$static_runtime" -DCMAKE_SHARED_LINKER_FLAGS="$static_runtime" \
  >"$work.configure.log" 2>&1 || { cat "$work.configure.log"; exit 1; }
ninja -C "$work" -j"$JOBS" install >"$work.build.log" 2>&1 || { tail -40 "$work.build.log"; exit 1; }
rm -rf "$work"
echo "$origin" >"$STAMP"
echo "GoogleTest for Windows: installed in $PREFIX"
