# Wine prefix template for the package tests, sourced by their scripts: made
# once per build tree (about 15 s), then cloned per scenario (about 1 s).
# Needs WINEARCH, WINEDEBUG and DISPLAY set.

# make_template DIR: a 64-bit prefix with COM1-COM16 blanked (a new prefix maps
# the machine's console to COM1), a virtual desktop (the tray gets a taskbar,
# and window closes do not stall) and unmanaged windows.
make_template() {
  local template=$1
  (
    flock 9
    if [ ! -f "$template/.ready" ]; then
      rm -rf "$template"
      local reg=$template.reg
      {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in $(seq 1 16); do printf '"COM%d"=""\r\n' "$n"; done
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n'
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n'
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
      } >"$reg"
      WINEPREFIX=$template timeout 120 wineboot -i >/dev/null 2>&1
      cp "$reg" "$template/drive_c/prefix.reg"
      WINEPREFIX=$template timeout 60 wine reg import 'C:\prefix.reg' >/dev/null 2>&1
      rm -f "$template/drive_c/prefix.reg"
      WINEPREFIX=$template timeout 60 wineserver -w
      touch "$template/.ready"
    fi
  ) 9>"$template.lock"
}
