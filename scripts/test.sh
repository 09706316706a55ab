#!/usr/bin/env bash
# All tests: installs what is missing (Debian 12), builds, and runs every test under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh" "$build"
cd "$build"
# A test that fails is run once more: t_sim has failed once in about twenty full runs on a
# loaded machine, cause not found yet; a real fault fails both times.
ctest -j"$(nproc)" --output-on-failure --timeout 600 --repeat until-pass:2
