#!/usr/bin/env bash
# Installs what the build needs (Debian 12), then configures and builds into build/.
# Says each stage on a line of its own starting with "setup: ".
# Usage: scripts/setup.sh [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
# Wine wants absolute prefix paths.
mkdir -p "$build" && build=$(cd "$build" && pwd)

pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
      googletest wine wine64 libwine xvfb imagemagick x11-utils xdotool
      fonts-wine    # Wine's own fonts: Marlett draws the title bars' buttons
      nlohmann-json3-dev)   # header-only JSON library of the launcher and its test
echo "setup: checking the Debian packages"
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi

echo "setup: configuring $build (CMake, Ninja, MinGW-w64)"
cmake -S "$here" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "setup: building into $build"
cmake --build "$build" -j"$(nproc)"
echo "setup: Wine prefix template $build/wine-template"
"$here/scripts/mkprefix.sh" "$build/wine-template"
