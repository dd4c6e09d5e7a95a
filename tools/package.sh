#!/usr/bin/env bash
# Builds the packages: a Debian package of the Linux release program and a zip
# of the static Windows program, both into out/ (or the folder given).
# Only the program itself is built, in trees of its own without the tests and
# their controls (build/package-*); trees that exist are reused.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
out="$(mkdir -p "${1:-out}" && cd "${1:-out}" && pwd)"
bash tools/setup.sh package
for target in linux windows; do
    tree="build/package-$target"
    if [ ! -f "$tree/CMakeCache.txt" ]; then
        toolchain=()
        [ "$target" = windows ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake")
        cmake -S "$top" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" \
            -DEOL_TESTS=OFF -DEOL_TEST_HOOKS=OFF -DEOL_BENCH=OFF >/dev/null
    fi
    cmake --build "$tree" --target eolset
    (cd "$tree" && cpack -B "$out" >/dev/null)
done
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/eolset_*.deb "$out"/eolset-*-win64.zip
