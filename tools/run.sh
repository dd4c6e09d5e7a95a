#!/usr/bin/env bash
# Builds the Linux release of eolset and runs it in test mode (-t: nothing is
# changed) on a folder: the one given, else the current folder.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/tools/setup.sh" linux
# A first configure leaves out the tests, their controls and the benchmarks,
# which need more than a compiler; `cmake --preset release` adds them back.
if [ ! -f "$top/build/release/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DEOL_TESTS=OFF -DEOL_TEST_HOOKS=OFF -DEOL_BENCH=OFF >/dev/null
fi
cmake --build "$top/build/release" --target eolset >/dev/null
folder="${1:-.}"
shift || true
exec "$top/build/release/eolset" -t "$folder" "$@"
