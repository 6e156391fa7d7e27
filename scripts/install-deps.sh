#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (lists in scripts/packages/*.txt;
# answers to their install-time questions in scripts/packages/*.debconf).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t packages < <(cat "$here"/packages/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  for answers in "$here"/packages/*.debconf; do
    [ -e "$answers" ] || continue
    sed 's/#.*//; /^ *$/d' "$answers" | $sudo debconf-set-selections
  done
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
