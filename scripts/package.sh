#!/usr/bin/env bash
# Builds the Windows release archive: dist/vorel-VERSION-win32.zip with
# Vorel.dll, Quorvex.dll, the public headers, import libraries for MinGW
# (libVorel.dll.a) and for other Windows toolchains (Vorel.lib), the protocol
# description and the integration guide.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake --preset mingw >/dev/null
cmake --build --preset mingw --target Vorel Quorvex vorel_import_libs

version=$(sed -n 's/^project(Vorel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="vorel-$version-win32"
stage="dist/$name"
rm -rf "$stage" "dist/$name.zip"
mkdir -p "$stage/include/vorel" "$stage/lib" "$stage/docs"

cp build/mingw/Vorel.dll build/mingw/Quorvex.dll "$stage/"
cp include/vorel/vorel.h include/vorel/vorel_export.h "$stage/include/vorel/"
cp build/mingw/import/libVorel.dll.a build/mingw/import/Vorel.lib "$stage/lib/"
cp docs/protocol.md docs/integration.md "$stage/docs/"

(cd dist && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "dist/$name.zip:"
(cd dist && cmake -E tar tf "$name.zip" | sed 's/^/  /')
