#!/usr/bin/env bash
# The main job: installs and builds what is missing, sets up a maintenance processor in a Wine
# prefix with the simulated subsystem, runs an automatic CF test of every equipped drive through
# the launcher and prints the outcome table (drive, pass, fail or not tested, error code and its
# text, sense in words). Extra arguments go to the launcher (e.g. --drives 0:0-3 --routine c0
# --json, --csv FILE, --quiet; docs/launcher.md). A CF run takes two 10-second pauses and two
# spin-ups per unit, about 3.5 minutes over the built-in subsystem; MTP_TIME_DIVISOR=10 in the
# environment makes it ten times shorter. Only the launcher's result goes to stdout; what the
# script does (set-up, build, progress, where the logs are) goes to stderr. The exit status is
# the launcher's (0 passed, 1 a drive failed, 2 not every drive tested, 3 usage or launch error).
#
# scripts/run.sh --interactive: the same set-up, then the program's own window on $DISPLAY for
# an engineer (message boxes shown); when it is closed, the simulators and the prefix's Wine
# server end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
if [ "${1:-}" = --interactive ]; then
    exec "$here/scripts/interactive.sh" "$build"
fi
echo "run: installing what is missing and building into $build (a first build takes minutes)" >&2
"$here/scripts/setup.sh" "$build" >&2
pfx=$build/run-prefix
echo "run: fresh Wine prefix $pfx" >&2
rm -rf "$pfx"
cp -a "$build/wine-template" "$pfx"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Unattended: message boxes go to the trace log instead of the screen; the controller simulator
# keeps its few faulty demo drives.
printf '[Subsystem]\r\nMessageBox=trace\r\n[Sim]\r\nDemoFaults=1\r\n' > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"
# The suite's controller communication (AP 09) and diagnosis log (AP 05) applications.
wine "$build/bin/DkcSim.exe" --lifetime 3600 </dev/null &
wine "$build/bin/DiagLogSim.exe" --lifetime 3600 </dev/null &
set +e
echo "run: simulators started; automatic run of Vestra.exe (routine CF unless the arguments say otherwise)" >&2
wine "$build/bin/Launcher.exe" "$@" </dev/null
rc=$?
set -e
# Ends both simulators: their quit events, then the prefix's server.
wine "$build/bin/SimQuit.exe" </dev/null >/dev/null 2>&1 || true
wineserver -w
{
    echo
    echo "Maintenance trace log:   $pfx/drive_c/trn600/log/mtptrace.log"
    echo "Diagnosis log:           $pfx/drive_c/trn600/log/diaglog.txt"
    echo "Readable diagnosis log:  $pfx/drive_c/trn600/log/diaglog-readable.txt"
    echo "Communication trace:     $pfx/drive_c/trn600/mp/pc/mtp_cmlb.dmp"
    echo "Message history:         $pfx/drive_c/trn600/mp/pc/history.dmp"
} >&2
exit $rc
