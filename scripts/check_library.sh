#!/usr/bin/env bash
# Checks a shipped build of the plug-in library, Linux .so or Windows DLL:
#  - it exports exactly the entry points listed in plugin/exports.map;
#  - a DLL imports nothing but Windows' own libraries (no MinGW runtime DLL,
#    which a player's machine does not have);
#  - no test seam is left in it: no symbol, exported, imported or in the
#    symbol table where one is present, whose name contains "quorra_test"
#    or "seam" in any case.
# The test variant of the library (quorra_link_test) has such symbols on
# purpose: run this on quorra_link.so / quorra_link.dll only.
#
#   scripts/check_library.sh LIBRARY...      exit 1 when any check fails
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
(($#)) || { sed -n '2,12p' "$0"; exit 2; }

EXPECTED=$(sed -n '/global:/,/local:/s/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$ROOT/plugin/exports.map" | sort)
COUNT=$(echo "$EXPECTED" | grep -c .)
[ "$COUNT" -gt 0 ] || { echo "plugin/exports.map lists no entry points"; exit 1; }
ALLOWED_IMPORTS='^(kernel32|advapi32|ws2_32|msvcrt|user32|ntdll|bcrypt|api-ms-win-.*)\.dll$'
SEAM='quorra_test|seam'

kind() { # file -> elf, pe or nothing
  case $(head -c 4 "$1" | od -An -tx1 | tr -d ' \n') in
    7f454c46) echo elf ;;
    4d5a*) echo pe ;;
  esac
}

bash "$HERE/install_deps.sh" binutils
for lib in "$@"; do
  if [ "$(kind "$lib" 2>/dev/null)" = pe ]; then
    bash "$HERE/install_deps.sh" binutils-mingw-w64-x86-64
    break
  fi
done

# Prints the findings of one library; prints nothing when it passes.
check_exports() { # name, exported names
  local diff_out
  if ! diff_out=$(diff <(echo "$EXPECTED") <(echo "$2" | sort)); then
    echo "$1: the export table differs from plugin/exports.map (< missing, > extra):"
    echo "$diff_out" | grep '^[<>]'
  fi
}

check_seams() { # name, symbol lines...
  local name=$1 hits
  shift
  hits=$(printf '%s\n' "$@" | grep -Ei "$SEAM" || true)
  if [ -n "$hits" ]; then
    echo "$name: test seams in the shipped library:"
    echo "$hits" | sort -u | head -20
  fi
}

check_elf() { # path
  local lib=$1 name
  name=$(basename "$lib")
  objdump -f "$lib" | grep -q 'file format elf64-x86-64' || echo "$name: not an x86-64 ELF library"
  check_exports "$name" "$(nm -D --defined-only "$lib" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }')"
  # Dynamic table (imports too), then the full symbol table unless stripped.
  check_seams "$name" "$(nm -D -C "$lib")" "$(nm -C "$lib" 2>/dev/null)"
}

check_pe() { # path
  local lib=$1 name dump
  name=$(basename "$lib")
  dump=$(x86_64-w64-mingw32-objdump -p "$lib")
  x86_64-w64-mingw32-objdump -f "$lib" | grep -q 'file format pei-x86-64' || echo "$name: not an x64 DLL"
  check_exports "$name" "$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] \(.*\)$/\1/p')"
  local dlls bad
  dlls=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u)
  bad=$(echo "$dlls" | grep -Ev "$ALLOWED_IMPORTS" || true)
  [ -z "$bad" ] || echo "$name: imports libraries that are not Windows' own: $(echo "$bad" | paste -sd' ')"
  local imported symbols
  # Names of imported functions: the import tables' "vma hint name" rows.
  imported=$(echo "$dump" | awk '/^The Import Tables/ { on = 1; next }
    /^The Export Tables|^There is an export table/ { on = 0 }
    on && /^\t[0-9a-f]+\t/ { print $NF }')
  symbols=$(x86_64-w64-mingw32-objdump -t -C "$lib" | grep '^\[' || true)
  check_seams "$name" "$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')" "$imported" "$symbols"
}

rc=0
for lib in "$@"; do
  name=$(basename "$lib")
  if [ ! -f "$lib" ]; then
    findings="$lib: no such file"
  else
    case $(kind "$lib") in
      elf) findings=$(check_elf "$lib") ;;
      pe) findings=$(check_pe "$lib") ;;
      *) findings="$name: neither an ELF library nor a DLL" ;;
    esac
  fi
  if [ -n "$findings" ]; then
    echo "$findings"
    rc=1
  elif [ "$(kind "$lib")" = pe ]; then
    echo "$name: exports exactly the $COUNT entry points, imports only Windows libraries, no test seams"
  else
    echo "$name: exports exactly the $COUNT entry points, no test seams"
  fi
done
exit $rc
