#!/usr/bin/env bash
# Builds the program as a packager would (a plain configure, no options) and
# checks that it holds no test control: the names of base/test_control.h and
# of the stand-in's platform/posix/fault.h must not be among its symbols.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="$top/build/shipped"
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" --target eolset >/dev/null
if [ -d "$out/tests" ]; then
    echo "shipped: a plain configure built the tests" >&2
    exit 1
fi
# Every function and variable the two headers declare.
names=$(sed -n 's/^[A-Za-z_][A-Za-z0-9_<>:* ]*[ *]\([a-z_][a-z0-9_]*\)(.*/\1/p; s/^extern [^;]* \([a-z_][a-z0-9_]*\);/\1/p' \
    "$top/base/test_control.h" "$top/platform/posix/fault.h" | sort -u)
names="$names g_fault_armed g_rules"
found=$(nm -C "$out/eolset" | awk '{print $NF}' | sed 's/(.*//; s/.*:://' | sort -u |
    grep -x -F -f <(printf '%s\n' $names | grep -v -x -F -e fault_take -e transfer_hook -e call_log_none) || true)
if [ -n "$found" ]; then
    echo "shipped: test controls in the program: $found" >&2
    exit 1
fi
echo "shipped: $(printf '%s\n' $names | wc -l) test controls looked for, none in the program"
