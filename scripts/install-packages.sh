#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (needs root).
#   scripts/install-packages.sh [--with-recommends] PACKAGE...
set -euo pipefail
recommends=(--no-install-recommends)
if [ "${1:-}" = "--with-recommends" ]; then
  recommends=()
  shift
fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
fi
