#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, once: a second
# run finds them present and returns at once.
#
#   install-deps.sh           everything: native build, cross build, Wine,
#                             the 32-bit native build
#   install-deps.sh --native  only what the native build needs
#
# Wine runs the Windows build and the 32-bit native build links the i386
# libraries; both need the i386 architecture.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

packages=(cmake ninja-build g++ libgtest-dev libcurl4-openssl-dev)
# The install test builds a consumer with the flags of `pkg-config vorel`.
packages+=(pkg-config)
# The fuzz targets (scripts/fuzz.sh): clang and its libFuzzer runtime.
packages+=(clang libclang-rt-14-dev)
# Memcheck (scripts/valgrind.sh).
packages+=(valgrind)
if [ "${1:-}" != "--native" ]; then
    packages+=(g++-mingw-w64-i686 wine wine32:i386)
    # Visual Studio's ABI without Visual Studio: Vorel.lib in the short
    # import format (llvm-dlltool, llvm-mc, llvm-lib), and clang-cl with
    # lld-link to build and link games against it in the Windows suite.
    packages+=(llvm lld clang-tools-14)
    # The 32-bit native build (asan32 preset): the multilib compiler and the
    # i386 libcurl and GoogleTest, which install beside the amd64 ones.
    packages+=(g++-multilib libcurl4-openssl-dev:i386 libgtest-dev:i386)
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
