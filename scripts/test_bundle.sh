#!/usr/bin/env bash
# Unpacks the plug-in bundle and checks it as the voice client's installer
# would: a zip with manifest.xml at its root, the manifest's shape, one
# library per os/arch that is really in the archive, and each library
# passing scripts/check_library.sh (the host's 23 entry points and nothing
# else, Windows' own libraries only, no test seams), and that both
# libraries carry the same built-in defaults: the stock ones, or with
# --server and a key a community's; and that no build directory of the
# bundles keeps that key in its CMakeCache.txt.
#
#   scripts/test_bundle.sh [BUNDLE] [--server HOST:PORT --key-file FILE]
#       BUNDLE defaults to out/tolvanrix.mumble_plugin (stock) or, with
#       --server, out/community/tolvanrix.mumble_plugin; built first when
#       missing. The key comes as for scripts/bundle.sh: --key-file FILE,
#       the environment's QL_API_KEY, or --key KEY.
set -euo pipefail
CALLER=$(pwd)
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/common.sh
source scripts/server_address.sh
source scripts/api_key.sh
BUNDLE=
SERVER=
KEY_ARG=
HAVE_KEY_ARG=0
KEY_FILE=
while (($#)); do
  case $1 in
    --server) SERVER=${2:?--server HOST:PORT}; shift ;;
    --key) KEY_ARG=${2?--key KEY}; HAVE_KEY_ARG=1; shift ;;
    --key-file) KEY_FILE=${2:?--key-file FILE}; shift ;;
    -*) sed -n '2,18p' "$0" >&2; exit 2 ;;
    /*) BUNDLE=$1 ;;
    *) BUNDLE=$CALLER/$1 ;;
  esac
  shift
done
case $KEY_FILE in
  "" | /*) ;;
  *) KEY_FILE=$CALLER/$KEY_FILE ;;
esac
take_api_key "$KEY_ARG" "$HAVE_KEY_ARG" "$KEY_FILE" || exit 2
if [ -z "$SERVER" ] && [ "$KEY_FROM" = environment ]; then
  KEY= KEY_FROM=
fi
SERVER_HOST=127.0.0.1 SERVER_PORT=8890 EXPECTED_KEY=REPLACE_THIS_API_KEY
BUILD_ARGS=()
if [ -n "$SERVER" ] || [ -n "$KEY_FROM" ]; then
  [ -n "$SERVER" ] && [ -n "$KEY_FROM" ] || { echo "a community bundle is checked with both --server and a key" >&2; exit 2; }
  split_server_address "$SERVER" || exit 2
  EXPECTED_KEY=$KEY
  BUNDLE=${BUNDLE:-$ROOT/out/community/tolvanrix.mumble_plugin}
  BUILD_ARGS=(--server "$SERVER" --out "$BUNDLE")
fi
BUNDLE=${BUNDLE:-$ROOT/out/tolvanrix.mumble_plugin}
# The key reaches the programs below through their environment, never
# their command line.
export EXPECTED_KEY
bash scripts/install_deps.sh python3 binutils binutils-mingw-w64-x86-64
[ -f "$BUNDLE" ] || QL_API_KEY=$EXPECTED_KEY bash scripts/bundle.sh "${BUILD_ARGS[@]}"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# The manifest, with the rules the installer's parser enforces.
python3 - "$BUNDLE" "$WORK" "$VERSION" <<'EOF'
import re, sys, zipfile, xml.etree.ElementTree as ET
bundle, work, version = sys.argv[1], sys.argv[2], sys.argv[3]
with zipfile.ZipFile(bundle) as z:
    names = z.namelist()
    assert "manifest.xml" in names, f"no manifest.xml at the root: {names}"
    for info in z.infolist():
        assert info.compress_type in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED), f"{info.filename}: compression {info.compress_type}"
    root = ET.fromstring(z.read("manifest.xml"))
    assert root.tag == "bundle" and root.get("version") == "1.0.0", "root must be <bundle version=\"1.0.0\">"
    assert (root.findtext("name") or "").strip() == "Tolvanrix", "name"
    assert re.fullmatch(r"\d+\.\d+\.\d+", (root.findtext("version") or "").strip()) and root.findtext("version").strip() == version, "version"
    plugins = root.find("assets").findall("plugin")
    targets = {(p.get("os"), p.get("arch")): p.text.strip() for p in plugins}
    assert set(targets) == {("windows", "x64"), ("linux", "x64")}, f"assets: {targets}"
    for (os_, arch), path in targets.items():
        assert path in names and not path.startswith("./"), f"{os_}/{arch}: {path} is not in the archive"
    assert sorted(names) == sorted(["manifest.xml", *targets.values()]), f"unexpected files: {names}"
    z.extractall(work)
    with open(f"{work}/targets.txt", "w") as f:
        for (os_, arch), path in sorted(targets.items()):
            f.write(f"{os_} {path}\n")
print("manifest: ok")
EOF

# The built-in defaults: each library holds one line naming them (the key by
# its SHA-256), made from the same values as the defaults themselves.
python3 - "$WORK" "$SERVER_HOST" "$SERVER_PORT" <<'EOF'
import hashlib, os, sys
work, host, port = sys.argv[1], *map(os.fsencode, sys.argv[2:])
key = os.environb[b"EXPECTED_KEY"]
if port.isdigit():
    port = str(int(port)).encode()
want = b"tolvanrix-builtin-defaults host=" + host + b" port=" + port + b" key_sha256=" + hashlib.sha256(key).hexdigest().encode()
found = {}
for line in open(f"{work}/targets.txt"):
    path = line.split()[1]
    data = open(f"{work}/{path}", "rb").read()
    at = data.find(b"tolvanrix-builtin-defaults ")
    assert at >= 0 and data.find(b"tolvanrix-builtin-defaults ", at + 1) < 0, f"{path}: not exactly one defaults line"
    found[path] = data[at:data.index(b"\0", at)]
assert len(set(found.values())) == 1, f"the libraries differ in their built-in defaults: {found}"
got = next(iter(found.values()))
assert got == want, f"built-in defaults {got!r}, expected {want!r}"
print("built-in defaults: ok, the same in both libraries:", got.decode(errors="backslashreplace")[len("tolvanrix-builtin-defaults "):])
EOF

# A community's key is in its bundle, but no build directory's CMakeCache.txt
# keeps it (the configure reads it from a file the bundle script removes).
if [ "$EXPECTED_KEY" != REPLACE_THIS_API_KEY ]; then
  python3 - "$ROOT" <<'EOF'
import glob, os, sys
key = os.environb[b"EXPECTED_KEY"]
caches = sorted(glob.glob(os.path.join(sys.argv[1], "build-bundle-*", "CMakeCache.txt")))
kept = [c for c in caches if key in open(c, "rb").read()]
assert not kept, f"the key is in {', '.join(kept)}"
print(f"build caches: ok, the key in none of {len(caches)}")
EOF
fi

# Each library is what its manifest entry says, and passes the shipped
# library's checks (exports, imports, no test seams).
rc=0
while read -r os path; do
  lib=$WORK/$path
  case $os in
    linux) objdump -f "$lib" | grep -q 'file format elf64-x86-64' || { echo "$path: not an x86-64 ELF library"; rc=1; } ;;
    windows) x86_64-w64-mingw32-objdump -f "$lib" | grep -q 'file format pei-x86-64' || { echo "$path: not an x64 DLL"; rc=1; } ;;
  esac
  bash scripts/check_library.sh "$lib" || rc=1
done <"$WORK/targets.txt"
[ $rc -eq 0 ] && echo "bundle: ok ($BUNDLE)"
exit $rc
