#!/usr/bin/env bash
# Installs the Debian packages that building and testing need: the lists named (scripts/packages/
# LIST.txt, e.g. `install-deps.sh tour`), or every list; with the answers to their install-time
# questions in scripts/packages/LIST.debconf. Installs nothing, and asks for nothing, when every
# package is there already.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=()
if [ $# -eq 0 ]; then
  for file in "$here"/packages/*.txt; do lists+=("$(basename "$file" .txt)"); done
else
  lists=("$@")
fi
files=()
for list in "${lists[@]}"; do
  [ -e "$here/packages/$list.txt" ] || {
    echo "install-deps: no list $list (scripts/packages/$list.txt)" >&2
    exit 2
  }
  files+=("$here/packages/$list.txt")
done
mapfile -t packages < <(cat "${files[@]}" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  for list in "${lists[@]}"; do
    answers=$here/packages/$list.debconf
    [ -e "$answers" ] || continue
    sed 's/#.*//; /^ *$/d' "$answers" | $sudo debconf-set-selections
  done
  echo "install-deps: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
