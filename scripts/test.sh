#!/usr/bin/env bash
# All tests: installs what is missing (Debian 12), builds, and runs every test under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh" "$build"
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 600
