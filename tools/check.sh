#!/usr/bin/env bash
# Builds both programs and runs every test: the Linux build under the
# sanitizers, the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
export CTEST_OUTPUT_ON_FAILURE=1
status=0
passed=0
failed=0
for preset in dev windows; do
    echo "=== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== $preset: test"
    if ! ctest --preset "$preset"; then status=1; fi
    log="build/$preset/Testing/Temporary/LastTest.log"
    # Unit tests report through GoogleTest, the end-to-end suite in one line.
    p=$(grep -h -o -E '^\[  PASSED  \] [0-9]+ test' "$log" | awk '{s+=$4} END {print s+0}')
    f=$(grep -h -o -E '^\[  FAILED  \] [0-9]+ test' "$log" | awk '{s+=$4} END {print s+0}')
    p=$((p + $(grep -h -o -E '^e2e: [0-9]+ passed' "$log" | awk '{s+=$2} END {print s+0}')))
    f=$((f + $(grep -h -o -E '^e2e: [0-9]+ passed, [0-9]+ failed' "$log" | awk '{s+=$4} END {print s+0}')))
    echo "$preset: $p passed, $f failed (test cases)"
    passed=$((passed + p))
    failed=$((failed + f))
done
echo "both builds: $passed passed, $failed failed"
exit $status
