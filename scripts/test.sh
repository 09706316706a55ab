#!/usr/bin/env bash
# All tests: installs what is missing (Debian 12), builds, and runs every test under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh" "$build"
cd "$build"
# A test that fails is run once more, so that a rare timing failure on a loaded machine does not
# fail the whole run; a real fault fails both times and its output is shown.
ctest -j"$(nproc)" --output-on-failure --timeout 600 --repeat until-pass:2
