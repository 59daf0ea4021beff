#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, once: a second
# run finds them present and returns at once.
#
#   install-deps.sh           everything: native build, cross build, Wine
#   install-deps.sh --native  only what the native build needs
#
# Wine runs the Windows build; it needs the i386 architecture.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

packages=(cmake ninja-build g++ libgtest-dev libcurl4-openssl-dev)
if [ "${1:-}" != "--native" ]; then
    packages+=(g++-mingw-w64-i686 wine wine32:i386)
fi
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
