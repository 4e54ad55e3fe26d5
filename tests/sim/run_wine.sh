#!/usr/bin/env bash
# Runs one Windows test program under Wine in the given prefix, with its own
# wineserver, and passes on the program's exit code.
# Usage: run_wine.sh PREFIX program.exe [unix paths passed as Windows paths...]
set -euo pipefail
export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
program=$2
shift 2
args=()
for path in "$@"; do args+=("$(winepath -w "$path" 2>/dev/null)"); done
status=0
timeout 100 wine "$program" "${args[@]}" || status=$?
timeout 20 wineserver -k 2>/dev/null || true
exit $status
