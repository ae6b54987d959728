#!/usr/bin/env bash
# Builds the installable plug-in bundle: release builds of the Linux x64
# library and the Windows x64 DLL, zipped with the manifest the voice
# client's installer reads.
#
#   scripts/bundle.sh [--no-install]
#       the stock bundle, out/tolvanrix.mumble_plugin
#   scripts/bundle.sh --server HOST:PORT --key-file FILE [--out FILE] [--no-install]
#       a community's bundle (default out/community/tolvanrix.mumble_plugin):
#       both libraries with this server, port and key built in, so that its
#       players need no quorra_link.ini. An IPv6 address goes in brackets,
#       [2001:db8::1]:8890. The key is the first line of FILE; without
#       --key-file it is the environment's QL_API_KEY, or --key KEY (which
#       every local user sees in `ps`, and the shell keeps in its history).
#       The values follow the ini's rules (host 1 to 255 characters, port
#       1 to 65535, key at most 255 characters, no white space); the
#       configure refuses others. The key reaches the builds through a
#       file of their own, never their CMakeCache.txt.
#
# JOBS sets the build's parallel jobs (scripts/common.sh).
set -euo pipefail
CALLER=$(pwd)
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/common.sh
source scripts/server_address.sh
source scripts/api_key.sh

usage() { sed -n '2,20p' "$0" >&2; exit 2; }
INSTALL=1
SERVER=
KEY_ARG=
HAVE_KEY_ARG=0
KEY_FILE=
OUT_ARG=
while (($#)); do
  case $1 in
    --no-install) INSTALL=0 ;;
    --server) (($# > 1)) || usage; SERVER=$2; shift ;;
    --key) (($# > 1)) || usage; KEY_ARG=$2; HAVE_KEY_ARG=1; shift ;;
    --key-file) (($# > 1)) || usage; KEY_FILE=$2; shift ;;
    --out) (($# > 1)) || usage; OUT_ARG=$2; shift ;;
    *) usage ;;
  esac
  shift
done
# A relative --key-file is taken from where the caller stands.
case $KEY_FILE in
  "" | /*) ;;
  *) KEY_FILE=$CALLER/$KEY_FILE ;;
esac
take_api_key "$KEY_ARG" "$HAVE_KEY_ARG" "$KEY_FILE" || exit 2
# The environment's key is for a community bundle; the stock one ignores it.
if [ -z "$SERVER" ] && [ "$KEY_FROM" = environment ]; then
  KEY= KEY_FROM=
fi

SERVER_HOST=
SERVER_PORT=
if [ -n "$SERVER" ] || [ -n "$KEY_FROM" ]; then
  # Both or neither: a bundle with a community's server but the stock key
  # (or the other way round) would never be let in.
  [ -n "$SERVER" ] && [ -n "$KEY_FROM" ] ||
    { echo "a community bundle needs both --server and a key (--key-file, QL_API_KEY or --key)" >&2; exit 2; }
  split_server_address "$SERVER" || exit 2
  FLAVOUR=community
  DEFAULT_OUT=$ROOT/out/community/tolvanrix.mumble_plugin
else
  FLAVOUR=stock
  DEFAULT_OUT=$ROOT/out/tolvanrix.mumble_plugin
fi
# --out is taken from where the caller stands.
if [ -n "$OUT_ARG" ]; then
  case $OUT_ARG in
    /*) BUNDLE=$OUT_ARG ;;
    *) BUNDLE=$CALLER/$OUT_ARG ;;
  esac
else
  BUNDLE=$DEFAULT_OUT
fi

if ((INSTALL)); then
  bash scripts/install_deps.sh cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils zip
fi

# The key goes to the configure in a file only its owner can read (printf
# is a shell builtin: the key is on no command line), removed on exit, so
# that the cache keeps the file's name and never the key.
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
KEY_PATH=
if [ -n "$KEY_FROM" ]; then
  KEY_PATH=$STAGE/api_key
  (umask 077 && printf '%s\n' "$KEY" >"$KEY_PATH")
fi

# Each flavour has its build directories, and every configure names all
# three defaults (empty: stock), so no value stays behind in a cache (one
# left there by an older bundle run included).
build() { # dir, cmake args...
  local dir=$1
  shift
  echo "== building quorra_link ($FLAVOUR) in $dir"
  mkdir -p "$dir"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQL_TESTS=OFF -DQL_TOOLS=OFF \
    -DQL_DEFAULT_SERVER_HOST:STRING="$SERVER_HOST" -DQL_DEFAULT_SERVER_PORT:STRING="$SERVER_PORT" \
    -DQL_DEFAULT_API_KEY:STRING= -DQL_DEFAULT_API_KEY_FILE:FILEPATH="$KEY_PATH" \
    "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  ninja -C "$dir" -j"$JOBS" quorra_link >"$dir/build.log" 2>&1 || { tail -40 "$dir/build.log"; return 1; }
}
if [ $FLAVOUR = stock ]; then
  LINUX_DIR=$ROOT/build-bundle-linux WIN_DIR=$ROOT/build-bundle-win
else
  LINUX_DIR=$ROOT/build-bundle-community-linux WIN_DIR=$ROOT/build-bundle-community-win
fi
build "$LINUX_DIR"
build "$WIN_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake"

# The installer copies the library under its base name: keep the names
# free of version numbers so an update replaces the old file.
rm -f "$KEY_PATH"
cp "$LINUX_DIR/bin/quorra_link.so" "$STAGE/"
cp "$WIN_DIR/bin/quorra_link.dll" "$STAGE/"
x86_64-w64-mingw32-strip --strip-unneeded "$STAGE/quorra_link.dll"
strip --strip-unneeded "$STAGE/quorra_link.so"
cat >"$STAGE/manifest.xml" <<EOT
<?xml version="1.0" encoding="UTF-8"?>
<bundle version="1.0.0">
  <assets>
    <plugin os="windows" arch="x64">quorra_link.dll</plugin>
    <plugin os="linux" arch="x64">quorra_link.so</plugin>
  </assets>
  <name>Tolvanrix</name>
  <version>$VERSION</version>
</bundle>
EOT
mkdir -p "$(dirname "$BUNDLE")"
rm -f "$BUNDLE"
# Plain deflate, no extra attributes, nothing but the three files.
(cd "$STAGE" && zip -q -X -D "$BUNDLE" manifest.xml quorra_link.dll quorra_link.so)
if [ $FLAVOUR = community ]; then
  echo "bundle: $BUNDLE ($(stat -c %s "$BUNDLE") bytes), built in: host=$SERVER_HOST port=$SERVER_PORT and the key"
else
  echo "bundle: $BUNDLE ($(stat -c %s "$BUNDLE") bytes)"
fi
