#!/usr/bin/env bash
# Wine smoke test of varnel.exe: without InpOut32.dll it reports and exits 4;
# with a stand-in library it starts, keeps its settings under the user's key,
# and its tray menu's close command ends it with 0.
# Usage: smoke.sh varnel.exe driver.exe InpOut32.dll work-dir
set -euo pipefail

program=$1 driver=$2 library=$3 work=$4
mkdir -p "$work"
work=$(cd "$work" && pwd)

export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPREFIX WINESERVER

xvfb_pid=
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$WINEPREFIX timeout 20 wineserver -k 2>/dev/null || true
  fi
  stop_xvfb
}
trap cleanup EXIT

# Own X server on a free display.
# shellcheck source=../../scripts/xvfb.sh
source "$(dirname "$0")/../../scripts/xvfb.sh"
start_xvfb "$work"

# A prefix template, made once per build tree, then cloned.
template=$work/template
bash "$(dirname "$0")/../../scripts/wine-prefix" "$template"

export WINEPREFIX=$work/run
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
timeout 20 wineserver -p5

failures=0
check() {  # check output-file line...
  local out=$1; shift
  for line in "$@"; do
    if ! grep -Fxq -- "$line" "$out"; then
      echo "smoke: missing \"$line\""
      failures=$((failures + 1))
    fi
  done
}
refuse() {  # refuse output-file pattern: no line may match
  if grep -Eq -- "$2" "$1"; then
    echo "smoke: unexpected line matching \"$2\":"; grep -E -- "$2" "$1"
    failures=$((failures + 1))
  fi
}

drive=$WINEPREFIX/drive_c
mkdir -p "$drive/nolib" "$drive/varnel"
cp "$program" "$drive/nolib/varnel.exe"
cp "$program" "$drive/varnel/varnel.exe"
cp "$library" "$drive/varnel/InpOut32.dll"
cp "$driver" "$drive/driver.exe"

echo "== without InpOut32.dll"
timeout 60 wine 'C:\driver.exe' start 'C:\nolib\varnel.exe' 2>/dev/null | tr -d '\r' | tee "$work/nolib.out"
check "$work/nolib.out" "BOX: Couldn't load InpOut32.dll" "CAPTION: VARNEL" "EXIT: 4"

echo "== with the stand-in library"
timeout 90 wine 'C:\driver.exe' close 'C:\varnel\varnel.exe' 2>/dev/null | tr -d '\r' | tee "$work/close.out"
check "$work/close.out" "WINDOW: found" "KEY: present" \
  "DIALOG: VARNEL v1.6 Properties" "DIALOG: closed" \
  "VALUE PortAddress: type 4, data 01 02 00 00" \
  "VALUE BitNumber: type 3, data 07" \
  "VALUE UTCFlag: type 3, data 00" \
  "MENU: open" "EXIT: 0"
refuse "$work/close.out" '^BOX:'

if [ "$failures" -ne 0 ]; then
  echo "smoke: $failures check(s) failed"
  exit 1
fi
echo "smoke: passed"
