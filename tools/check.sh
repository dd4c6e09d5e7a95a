#!/usr/bin/env bash
# Builds both programs and runs every test: the Linux build under the
# sanitizers, the Windows build under Wine; then the tests with threads (the
# runtime's and the workers') under ThreadSanitizer; last, that the program a
# plain configure builds holds no test control.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
export CTEST_OUTPUT_ON_FAILURE=1
status=0
passed=0
failed=0
for preset in dev windows tsan; do
    echo "=== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== $preset: test"
    if ! ctest --preset "$preset"; then status=1; fi
    log="build/$preset/Testing/Temporary/LastTest.log"
    # Unit tests report through GoogleTest, the end-to-end suite in one line.
    count() { { grep -h -o -E "$1" "$log" || true; } | awk -v f="$2" '{s+=$f} END {print s+0}'; }
    p=$(( $(count '^\[  PASSED  \] [0-9]+ test' 4) + $(count '^e2e: [0-9]+ passed' 2) ))
    f=$(( $(count '^\[  FAILED  \] [0-9]+ test' 4) + $(count '^e2e: [0-9]+ passed, [0-9]+ failed' 4) ))
    echo "$preset: $p passed, $f failed (test cases)"
    passed=$((passed + p))
    failed=$((failed + f))
done
echo "=== shipped: a plain configure and build holds no test control"
if ! bash tools/shipped.sh; then status=1; fi
echo "total: $passed passed, $failed failed"
exit $status
