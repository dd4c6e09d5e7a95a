#!/bin/sh
# Runs a Windows program under 64-bit Wine without Wine's debug chatter.
WINEDEBUG=${WINEDEBUG:--all}
export WINEDEBUG
for w in wine64 /usr/lib/wine/wine64 /usr/lib/wine/wine; do
    if command -v "$w" >/dev/null 2>&1; then exec "$w" "$@"; fi
done
echo "wine-run.sh: no wine64 found" >&2
exit 127
