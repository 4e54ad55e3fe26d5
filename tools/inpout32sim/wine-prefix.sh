#!/usr/bin/env bash
# Makes a 64-bit Wine prefix for running Varnel beside the simulated receiver,
# once per folder: COM1-COM16 blanked (a new prefix maps COM1 to /dev/ttyS0,
# the machine's own console) and unmanaged X11 windows (else every dialog close
# stalls 2 s). Usage: wine-prefix.sh PREFIX
# Leaves no wineserver running. A prefix without the stamp file is rebuilt.
set -euo pipefail

prefix=$1
stamp=$prefix/.varnel-prefix-ready
[ -f "$stamp" ] && exit 0

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix"
mkdir -p "$prefix"
timeout 180 wineboot -i >/dev/null 2>&1 || { echo "wine-prefix: wineboot failed" >&2; exit 1; }

reg=$prefix/varnel-prefix.reg
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for n in $(seq 1 16); do printf '"COM%d"=""\r\n' "$n"; done
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
} >"$reg"
timeout 60 wine reg import "$reg" >/dev/null 2>&1 || { echo "wine-prefix: reg import failed" >&2; exit 1; }
timeout 60 wineserver -w
touch "$stamp"
