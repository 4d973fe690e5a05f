#!/usr/bin/env bash
# Installs the Debian packages that building and testing tarvex need, and
# only those that are missing. With --windows, also the cross compiler and
# Wine for the Windows build and its tests.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev groff-base)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 tmux)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
