#!/usr/bin/env bash
# Builds the packages: a Debian package of the Linux release program and a zip
# of the static Windows program, both into out/ (or the folder given).
# Only the program itself is built; build trees that exist are reused.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
out="$(mkdir -p "${1:-out}" && cd "${1:-out}" && pwd)"
bash tools/setup.sh package
for preset in release windows; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" --target eolset
    (cd "build/$preset" && cpack -B "$out" >/dev/null)
done
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/eolset_*.deb "$out"/eolset-*-win64.zip
