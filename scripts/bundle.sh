#!/usr/bin/env bash
# Builds the installable plug-in bundle: release builds of the Linux x64
# library and the Windows x64 DLL, zipped with the manifest the voice
# client's installer reads.
#
#   scripts/bundle.sh [--no-install]      writes out/tolvanrix.mumble_plugin
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$ROOT/out
BUNDLE=$OUT/tolvanrix.mumble_plugin
VERSION=0.1.0

if [ "${1:-}" != "--no-install" ]; then
  bash scripts/install_deps.sh cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils zip
fi

build() { # dir, target, cmake args...
  local dir=$1 target=$2
  shift 2
  echo "== building $target in $dir"
  mkdir -p "$dir"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQL_TESTS=OFF -DQL_TOOLS=OFF "$@" \
    >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  ninja -C "$dir" -j2 "$target" >"$dir/build.log" 2>&1 || { tail -40 "$dir/build.log"; return 1; }
}
build "$ROOT/build-bundle-linux" quorra_link
build "$ROOT/build-bundle-win" quorra_link -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake"

# The installer copies the library under its base name: keep the names
# free of version numbers so an update replaces the old file.
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
cp "$ROOT/build-bundle-linux/bin/quorra_link.so" "$STAGE/"
cp "$ROOT/build-bundle-win/bin/quorra_link.dll" "$STAGE/"
x86_64-w64-mingw32-strip --strip-unneeded "$STAGE/quorra_link.dll"
strip --strip-unneeded "$STAGE/quorra_link.so"
cat >"$STAGE/manifest.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<bundle version="1.0.0">
  <assets>
    <plugin os="windows" arch="x64">quorra_link.dll</plugin>
    <plugin os="linux" arch="x64">quorra_link.so</plugin>
  </assets>
  <name>Tolvanrix</name>
  <version>$VERSION</version>
</bundle>
EOF
mkdir -p "$OUT"
rm -f "$BUNDLE"
# Plain deflate, no extra attributes, nothing but the three files.
(cd "$STAGE" && zip -q -X -D "$BUNDLE" manifest.xml quorra_link.dll quorra_link.so)
echo "bundle: $BUNDLE ($(stat -c %s "$BUNDLE") bytes)"
