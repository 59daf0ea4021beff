#!/usr/bin/env bash
# Builds the Windows release archive dist/vorel-VERSION-win32.zip: the
# stripped DLLs and their symbol files, the public headers, the import
# libraries for Visual Studio (Vorel.lib) and MinGW-w64 (libVorel.dll.a),
# the reference server for Windows, the examples, the docs, the changelog,
# and a README at its root. Prints the archive's path and contents.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake --preset mingw >/dev/null
cmake --build --preset mingw --target Vorel Quorvex vorel_import_libs
cmake --preset mingw-tools >/dev/null
cmake --build --preset mingw-tools --target vorel-server

version=$(sed -n 's/^project(Vorel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="vorel-$version-win32"
stage="dist/$name"
rm -rf "$stage" "dist/$name.zip"
mkdir -p "$stage/include/vorel" "$stage/lib" "$stage/symbols" "$stage/bin" "$stage/docs" \
    "$stage/examples/c_game" "$stage/examples/cpp_game"

cp build/mingw/Vorel.dll build/mingw/Quorvex.dll "$stage/"
cp build/mingw/Vorel.dll.debug build/mingw/Quorvex.dll.debug "$stage/symbols/"
cp include/vorel/vorel.h include/vorel/vorel_export.h build/mingw/include/vorel/vorel_version.h \
    "$stage/include/vorel/"
cp build/mingw/import/libVorel.dll.a build/mingw/import/Vorel.lib "$stage/lib/"
cp build/mingw-tools/vorel-server.exe "$stage/bin/"
cp examples/README.md "$stage/examples/"
cp examples/c_game/game.c "$stage/examples/c_game/"
cp examples/cpp_game/game.cpp "$stage/examples/cpp_game/"
cp docs/integration.md docs/log.md docs/protocol.md docs/reference-server.md "$stage/docs/"
cp CHANGELOG.md "$stage/"
sed "s/@VERSION@/$version/g" packaging/README.md >"$stage/README.md"

# The same bytes for the same sources: every file dated at the last commit,
# names in a fixed order.
stamp=$(git log -1 --format=%ct 2>/dev/null || echo 946684800)
find "$stage" -exec touch -d "@$stamp" {} +
(cd dist && find "$name" -type f | LC_ALL=C sort >"$name.list" &&
    cmake -E tar cf "$name.zip" --format=zip --files-from="$name.list" && rm "$name.list")
echo "dist/$name.zip:"
(cd dist && cmake -E tar tf "$name.zip" | sed 's/^/  /')
