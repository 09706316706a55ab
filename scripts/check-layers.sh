#!/usr/bin/env bash
# Fails when a layer includes a header of a layer above it. Layers, top to bottom:
# shell, routines, drivecmd, cmlb, iw, svclib, base. res/ and the system headers are not layers.
# Usage: scripts/check-layers.sh [source-dir]
set -u
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
layers=(shell routines drivecmd cmlb iw svclib base)
bad=0
for ((i = 0; i < ${#layers[@]}; i++)); do
    lower=${layers[i]}
    for ((j = 0; j < i; j++)); do
        higher=${layers[j]}
        hits=$(grep -rn --include='*.h' --include='*.cpp' --include='*.rc' \
               -E "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]$higher/" "$top/$lower" 2>/dev/null)
        if [ -n "$hits" ]; then
            printf '%s includes %s (layers include only downward):\n%s\n' "$lower" "$higher" "$hits"
            bad=1
        fi
    done
done
[ $bad -eq 0 ] && echo "layers: every include runs downward"
exit $bad
