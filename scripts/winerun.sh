#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh prefix copied from a template,
# so that concurrent runs share neither named objects nor c:\trn600.
# Usage: scripts/winerun.sh TEMPLATE PROGRAM [ARGS...]
# MTP_KEEP_PREFIX=1 keeps the prefix and prints its path.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmpl=$1; shift
mkdir -p "$(dirname "$tmpl")"
( flock 9; "$here/mkprefix.sh" "$tmpl" ) 9>"$tmpl.lock"
pfx=$(mktemp -d "${TMPDIR:-/tmp}/vestra-pfx.XXXXXX")
# The Windows folder is only read: link it; copy what Wine writes.
cp -a "$tmpl"/*.reg "$tmpl"/.update-timestamp "$tmpl"/dosdevices "$pfx"/
mkdir "$pfx/drive_c"
for e in "$tmpl"/drive_c/*; do
    n=$(basename "$e")
    if [ "$n" = windows ]; then cp -al "$e" "$pfx/drive_c/"; else cp -a "$e" "$pfx/drive_c/"; fi
done
export WINEPREFIX=$pfx WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
wine "$@" </dev/null
rc=$?
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
if [ "${MTP_KEEP_PREFIX:-0}" = 1 ]; then
    echo "winerun: prefix kept in $pfx" >&2
else
    rm -rf "$pfx"
fi
exit $rc
