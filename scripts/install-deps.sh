#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, once: a second
# run finds them present and returns at once.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libcurl4-openssl-dev g++-mingw-w64-i686)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
