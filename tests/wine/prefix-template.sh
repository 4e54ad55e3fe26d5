#!/usr/bin/env bash
# Makes the template Wine prefix (64-bit) that the Wine tests clone per run with
# `cp -a`: COM1-COM16 blanked, a virtual desktop with its taskbar, unmanaged
# X11 windows. Made once per build tree (about 15 s); safe to call concurrently.
# Usage: prefix-template.sh TEMPLATE-DIR
set -euo pipefail

template=$(realpath -m "$1")  # Wine wants an absolute prefix path
mkdir -p "$(dirname "$template")"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER

(
  flock 9
  [ -f "$template/.ready" ] && exit 0
  rm -rf "$template"
  # COM ports blanked before anything can open one: a new prefix maps the
  # machine's console (/dev/ttyS0) to COM1. The virtual desktop gives the tray a
  # taskbar and keeps dialog closes from stalling 2 s.
  reg=$(mktemp)
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 16); do printf '"COM%d"=""\r\n' "$n"; done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n'
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n'
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
  } >"$reg"
  # wineboot needs no display; the import runs in the new prefix.
  WINEPREFIX=$template timeout 180 wineboot -i >/dev/null 2>&1
  cp "$reg" "$template/drive_c/prefix.reg"
  rm -f "$reg"
  WINEPREFIX=$template timeout 60 wine reg import 'C:\prefix.reg' >/dev/null 2>&1
  WINEPREFIX=$template timeout 60 wineserver -w
  touch "$template/.ready"
) 9>"$template.lock"
