#!/usr/bin/env bash
# The main job: installs and builds what is missing, sets up a maintenance processor in a Wine
# prefix with the simulated subsystem, runs an automatic test through the launcher and prints
# the outcome. Extra arguments go to the launcher (e.g. --drives 0:0-3 --routine c0 --json).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh" "$build" >/dev/null
pfx=$build/run-prefix
rm -rf "$pfx"
cp -a "$build/wine-template" "$pfx"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Unattended: message boxes go to the trace log instead of the screen.
printf '[Subsystem]\r\nMessageBox=trace\r\n' > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"
set +e
wine "$build/bin/Launcher.exe" "$@" </dev/null
rc=$?
set -e
wineserver -w
echo
echo "Maintenance trace log: $pfx/drive_c/trn600/log/mtptrace.log"
exit $rc
