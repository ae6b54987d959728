#!/usr/bin/env bash
# The one install step of every script here: installs the named Debian
# packages that are missing (apt-get, no recommends). Packages already
# installed are skipped; with all of them present it runs no apt-get at all.
#
#   scripts/install_deps.sh PACKAGE...
set -euo pipefail

need=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
