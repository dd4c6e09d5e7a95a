#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for one purpose:
#   setup.sh linux     building the Linux program (tools/run.sh)
#   setup.sh package   building both programs and their packages (tools/package.sh)
#   setup.sh           everything: both builds and every test (tools/check.sh)
set -euo pipefail
purpose="${1:-all}"
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
if [ "$purpose" != linux ]; then
    have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
    [ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need+=(googletest)
    [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
    have dpkg-shlibdeps || need+=(dpkg-dev)
    have lintian || need+=(lintian)
    have python3 || need+=(python3)
fi
if [ "$purpose" = all ]; then
    [ -x /usr/lib/wine/wine64 ] || have wine64 || need+=(wine64)
    have ccache || need+=(ccache)
    have dos2unix || need+=(dos2unix)
    have strace || need+=(strace)
    have git || need+=(git)
    # The EditorConfig C core's tool decides the .editorconfig oracle tests.
    have editorconfig || need+=(editorconfig)
    # The package test renders the manual page.
    have man || need+=(man-db)
    have nroff || need+=(groff-base)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
# Wine makes its prefix on first use; do it once here, quietly.
if [ "$purpose" = all ] && [ ! -d "${WINEPREFIX:-$HOME/.wine}" ]; then
    WINEDEBUG=-all "$(dirname "$0")/../cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
fi
