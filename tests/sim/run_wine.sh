#!/usr/bin/env bash
# Runs one Windows test program under Wine in the given prefix, with its own
# wineserver, and passes on the program's exit code.
# Usage: run_wine.sh [--arch x64|i686] PREFIX program.exe [unix paths passed as Windows paths...]
#   i686 programs run in the 32-bit chroot's Wine (scripts/wine-i686).
set -euo pipefail
arch=x64
if [ "$1" = --arch ]; then arch=$2; shift 2; fi
# shellcheck source=../../scripts/wine-arch.sh
source "$(dirname "$0")/../../scripts/wine-arch.sh"
binds=("$1" "$(dirname "$2")")
for path in "${@:3}"; do binds+=("$(dirname "$path")"); done
use_wine "$arch" "${binds[@]}" -- "$0" --arch "$arch" "$@"
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
program=$(realpath "$2")
shift 2
args=()
for path in "$@"; do args+=("$(winepath -w "$(realpath -m "$path")" 2>/dev/null)"); done
# Nothing of the caller's session: no display (the tray calls then fail alike
# everywhere) and no terminal, which `timeout` would leave Wine's console
# reading from a background process group.
unset DISPLAY
status=0
timeout 100 wine "$program" "${args[@]}" </dev/null || status=$?
timeout 20 wineserver -k 2>/dev/null || true
exit $status
