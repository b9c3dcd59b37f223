#!/bin/bash
# Installs the Debian packages in scripts/packages.txt that are missing (needs root for that).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(grep -v '^#' "$here/packages.txt" | sed '/^$/d')
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The number-reading tests run under a decimal-comma locale as well as C.
for loc in de_DE hu_HU; do
  locale -a 2>/dev/null | grep -qix "$loc.utf-\?8" || "${sudo_cmd[@]}" localedef -i "$loc" -f UTF-8 "$loc.UTF-8"
done
