#!/usr/bin/env bash
# Installs what building and testing need, when a fresh machine lacks it.
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || have wine64 || need+=(wine64)
[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
have ccache || need+=(ccache)
have dos2unix || need+=(dos2unix)
have strace || need+=(strace)
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
# Wine makes its prefix on first use; do it once here, quietly.
if [ ! -d "${WINEPREFIX:-$HOME/.wine}" ]; then
    WINEDEBUG=-all "$(dirname "$0")/../cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
fi
