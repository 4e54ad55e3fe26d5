#!/usr/bin/env bash
# End-to-end scenarios of varnel.exe under Wine: each in a fresh clone of the
# template prefix, on its own Xvfb, beside the simulated receiver with its
# observer log; checked on the log, the registry, the windows and exit codes.
# Usage: e2e.sh [--arch x64|i686] startup|tray|dialog|live|monitor varnel.exe driver.exe sim.dll noinp32.dll
#        template work-dir [varnel-monitor.exe native-varnel-replay]
#   The architecture of the build under test (x64 by default): i686 programs
#   run in the 32-bit chroot's Wine (scripts/wine-i686).
set -uo pipefail

arch=x64
if [ "$1" = --arch ]; then arch=$2; shift 2; fi
group=$1 program=$2 driver=$3 simdll=$4 noinp=$5 template=$6 work=$7
monitor=${8:-} replay=${9:-}
mkdir -p "$work"
work=$(cd "$work" && pwd)
artefacts=$work/artefacts
mkdir -p "$artefacts"
# Wine's MS Sans Serif, the Properties dialog's font, from the host (fonts-wine):
# a prefix has none and lays the dialog out in a wider substitute, unlike
# Windows. Staged in the work folder, which the 32-bit chroot also sees.
sans=/usr/share/wine/fonts/sserife.fon
if [ -f "$sans" ]; then cp "$sans" "$work/sserife.fon.$$" && mv -f "$work/sserife.fon.$$" "$work/sserife.fon"; fi

# shellcheck source=../../scripts/wine-arch.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-arch.sh"
use_wine "$arch" "$work" -- "$0" --arch "$arch" "$@"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPREFIX WINESERVER
# The first version of the tray record: 88 bytes in 32-bit programs, 104 in 64-bit.
record=$([ "$arch" = i686 ] && echo 88 || echo 104)
for name in $(env | grep -o '^VARNEL_SIM_[A-Z_]*'); do unset "$name"; done

# ---------------------------------------------------------------- plumbing
# Everything below runs inside one scenario's subshell; its EXIT trap ends
# what the scenario started, by pid.

fails=0
ok()   { echo "  ok: $*"; }
bad()  { echo "  FAIL: $*"; fails=$((fails + 1)); }
check() { if eval "$2"; then ok "$1"; else bad "$1"; fi; }  # check DESC CONDITION (CONDITION sees check's own $1 $2: use named variables)

# shellcheck source=../../scripts/xvfb.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"
xvfb_pid= launcher= scenario=
finish() {
  [ -n "$launcher" ] && kill "$launcher" 2>/dev/null
  [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
  [ -n "$launcher" ] && wait "$launcher" 2>/dev/null
  stop_xvfb
  [ -n "${WINEPREFIX:-}" ] && rm -rf "$WINEPREFIX"
  return 0
}

# begin NAME ZONE: a fresh prefix and display for one scenario.
begin() {
  scenario=$1
  S=$work/$scenario
  rm -rf "$S"
  mkdir -p "$S"
  trap finish EXIT
  export TZ=$2
  start_xvfb "$S" || bad "no X server for $scenario"
  export WINEPREFIX=$S/prefix
  cp -a "$template" "$WINEPREFIX"
  [ -f "$work/sserife.fon" ] && cp "$work/sserife.fon" "$WINEPREFIX/drive_c/windows/Fonts/"
  timeout 20 wineserver -p60
  local c=$WINEPREFIX/drive_c
  mkdir -p "$c/varnel" "$c/nolib" "$c/noinp"
  cp "$program" "$c/varnel/varnel.exe"
  cp "$simdll" "$c/varnel/InpOut32.dll"
  cp "$program" "$c/nolib/varnel.exe"
  cp "$program" "$c/noinp/varnel.exe"
  cp "$noinp" "$c/noinp/InpOut32.dll"
  cp "$driver" "$c/driver.exe"
  if [ -n "$monitor" ]; then
    cp "$monitor" "$c/varnel/varnel-monitor.exe"
    cp "$monitor" "$c/nolib/varnel-monitor.exe"
  fi
  log=$S/sim.log
  export VARNEL_SIM_LOG=$log
  echo "== $scenario (TZ=$TZ)"
}

drv() { timeout 40 wine 'C:\driver.exe' "$@" 2>/dev/null | tr -d '\r'; }
d()   { drv "$pid" "$@"; }

# launch [FOLDER]: starts varnel.exe through the driver, which reports message
# boxes and the exit code into $out; sets $pid (the Windows one).
run=0
launch() {
  run=$((run + 1))
  out=$S/launch$run.out
  : >"$out"
  timeout 600 wine 'C:\driver.exe' launch "C:\\${1:-varnel}\\varnel.exe" 2>/dev/null >"$out" &
  launcher=$!
  pid=
  for _ in $(seq 200); do
    pid=$(tr -d '\r' <"$out" | sed -n 's/^PID //p')
    [ -n "$pid" ] && return 0
    sleep 0.1
  done
  bad "launch: no pid"
  return 1
}

# await_exit SECONDS: the launcher's EXIT line ("EXIT n"), or "" on timeout.
await_exit() {
  for _ in $(seq $(($1 * 10))); do
    grep -q '^EXIT' "$out" && break
    sleep 0.1
  done
  wait "$launcher" 2>/dev/null
  launcher=
  tr -d '\r' <"$out" | grep '^EXIT' || true
}

# await LINES-BEFORE REGEX SECONDS: waits for a log line after the first
# LINES-BEFORE lines that matches; sets LINE to it and AT to its line number.
await() {
  local skip=$1 pattern=$2 seconds=$3 hit
  LINE= AT=0
  for _ in $(seq $((seconds * 4))); do
    hit=$(tail -n +$((skip + 1)) "$log" 2>/dev/null | grep -n -E -m1 -- "$pattern")
    if [ -n "$hit" ]; then
      AT=$((skip + ${hit%%:*}))
      LINE=${hit#*:}
      return 0
    fi
    sleep 0.25
  done
  return 1
}
lines() { wc -l <"$log" 2>/dev/null || echo 0; }

# shot NAME: the whole virtual screen as a PNG artefact; for the tray also
# the taskbar's right end (the notification area) enlarged, for the dialog the
# dialog cut from the desktop above the taskbar.
shot() {
  if xwd -root -silent -display "$DISPLAY" 2>/dev/null | /usr/bin/convert xwd:- "png:$artefacts/$1.png" 2>/dev/null; then
    ok "screenshot $1.png"
  else
    bad "screenshot $1.png"
  fi
  case $1 in
    tray*)
      /usr/bin/convert "$artefacts/$1.png" -crop 120x28+904+740 +repage -scale 400% "png:$artefacts/$1-area.png" 2>/dev/null ;;
    dialog)  # the dialog alone, twice its size: the user's guide shows it
      /usr/bin/convert "$artefacts/$1.png" -crop 1024x736+0+0 +repage -trim +repage -scale 200% "png:$artefacts/$1-window.png" 2>/dev/null ;;
  esac
}

# close_by_menu ID: right click, "Close Varnel", then the icon's delete and exit 0.
close_by_menu() {
  local id=$1 before
  before=$(lines)
  check "right click opens the menu (#32768 visible)" '[ "$(d tray rclick "$id" + menu close | tail -n1)" = "MENU open" ]'
  local exit_line
  exit_line=$(await_exit 20)
  check "Close Varnel ends the program with exit code 0" '[ "$exit_line" = "EXIT 0" ]'
  check "the icon is deleted with id $id" \
    'tail -n +$((before + 1)) "$log" | grep -Eq "NOTIFY op=DELETE .* id=$id .*result=1"'
}

# The minute (local in ZONE, shifted by OFFSET s) of a log line's UTC stamp.
minute_of() {  # minute_of LINE ZONE OFFSET -> YYYY-MM-DDThh:mm
  local stamp=${1%% *}
  local epoch
  epoch=$(date -u -d "$(date -u +%F) ${stamp%.*}" +%s)
  LC_ALL=C TZ=$2 date -d "@$((epoch + $3))" +%Y-%m-%dT%H:%M
}
tip_of_minute() {  # YYYY-MM-DDThh:mm -> "Mon 07-Dec-2026, 05:17" (a civil picture, no zone)
  LC_ALL=C date -u -d "${1/T/ } UTC" +'%a %d-%b-%Y, %H:%M'
}
dow_of_minute() { LC_ALL=C date -u -d "${1/T/ } UTC" +%w; }

# ---------------------------------------------------------------- scenarios

# Start-up failures: each message box with caption "VARNEL", then the exit code;
# a serial port that cannot be opened is reported and survived.
scenario_startup() {
  begin startup Europe/London
  expect_start() {  # expect_start DESC FOLDER CODE TEXT...
    local desc=$1 folder=$2 code=$3
    shift 3
    launch "$folder" || return
    local exit_line
    exit_line=$(await_exit 30)
    local expected=() text
    for text in "$@"; do expected+=("BOX caption=\"VARNEL\" text=\"$text\""); done
    local boxes
    boxes=$(tr -d '\r' <"$out" | grep '^BOX' || true)
    check "$desc: boxes $(printf '"%s" ' "$@")" '[ "$boxes" = "$(printf "%s\n" "${expected[@]}")" ]'
    check "$desc: exit code $code" '[ "$exit_line" = "EXIT $code" ]'
    [ "$fails" -eq 0 ] || { echo "  launcher said:"; sed 's/^/    /' "$out"; }
  }
  # The library is needed even when a serial port is configured.
  drv reg set PortAddress 4 03000000 >/dev/null
  expect_start "no InpOut32.dll (PortAddress COM3)" nolib 4 "Couldn't load InpOut32.dll"
  drv reg drop >/dev/null
  expect_start "InpOut32.dll without Inp32" noinp 5 "Couldn't get Inp32 function address"
  export VARNEL_SIM_TIMER=caps-fail
  expect_start "timer capabilities fail" varnel 8 "timeGetDevCaps failed" "CreateWindow failed"
  export VARNEL_SIM_TIMER=start-fail
  expect_start "timer start fails" varnel 8 "Couldn't start timer" "CreateWindow failed"
  check "the timer start was asked for 20 ms, resolution 0, periodic" \
    'grep -Eq "TIMER call=timeSetEvent delay=20 resolution=0 flags=0x1 result=0 injected=1" "$log"'

  # Minimum timer periods: refused unless they divide 20 ms (0 divides
  # nothing: refused, not a crash).
  local period
  for period in 0 3 6 8 40; do
    export VARNEL_SIM_TIMER=min-period:$period
    expect_start "minimum timer period $period ms" varnel 8 "Unsuitable timer resolution" "CreateWindow failed"
  done
  for period in 1 5 20; do
    export VARNEL_SIM_TIMER=min-period:$period
    launch varnel || return
    check "minimum timer period $period ms is accepted (window created)" '[ -n "$(d window | grep "^WINDOW 0x")" ]'
    close_by_menu 1
  done
  unset VARNEL_SIM_TIMER

  # A message loop that fails (GetMessage -1) ends with its own code, not the
  # 0 of a normal end, and takes the icon with it; no box after start-up.
  export VARNEL_SIM_FAIL_GETMESSAGE=1
  local before
  before=$(lines)
  expect_start "GetMessage fails" varnel 9
  check "the failed loop removes the icon and stops the timer" \
    'tail -n +$((before + 1)) "$log" | sed -n "/LOOP call=GetMessageA count=1 result=-1/,\$p" > "$S/loop.log" &&
     grep -q "NOTIFY op=DELETE .* id=1 .*result=1" "$S/loop.log" && grep -q "TIMER call=timeKillEvent" "$S/loop.log"'
  unset VARNEL_SIM_FAIL_GETMESSAGE

  # A configured serial port that cannot be opened: reported, the program runs;
  # in the dialog that port (the one in use) is not opened again and OK stays
  # enabled.
  drv reg set PortAddress 4 03000000 >/dev/null
  export VARNEL_SIM_FAIL_COM=3
  launch varnel || return
  local dump
  has() { grep -Fxq -- "$1" <<<"$dump"; }
  d window >/dev/null
  for _ in $(seq 150); do grep -q '^BOX' "$out" && break; sleep 0.1; done  # the launcher reports the box
  dump=$(tr -d '\r' <"$out")
  check "COM3 absent at start: \"Couldn't open selected serial port\", no exit" \
    'has "BOX caption=\"VARNEL\" text=\"Couldn'"'"'t open selected serial port\"" && ! grep -q "^EXIT" <<<"$dump"'
  check "COM3 was opened once" '[ "$(grep -c "COM call=CreateFileA name=.*COM3\" port=3 result=invalid error=2 injected=1" "$log")" = 1 ]'
  dump=$(d tray dblclick + dialog + select 1136 2 + sleep 300 + dialog)
  check "the dialog opens on \"COM3:\" and keeps OK enabled on it" \
    'has "SEL 1136 2" && ! grep -q "^CONTROL 1 .*enabled=0" <<<"$dump"'
  check "the port in use is not opened again" '[ "$(grep -c "COM call=CreateFileA name=.*COM3" "$log")" = 1 ]'
  d click 2 >/dev/null
  close_by_menu 1
  unset VARNEL_SIM_FAIL_COM
}

# First start with no key: key created, values left absent, the app icon with
# the wait text; menu opens, Escape and Properties work, Close ends it.
scenario_first_start() {
  begin first-start Europe/London
  check "no settings key before the first start" '[ "$(drv reg key)" = "KEY absent" ]'
  launch || return
  local add
  await 0 'NOTIFY op=ADD' 15; add=$LINE
  check "first add: id 1, flags 7, message 1025, VarnelApp, wait text, $record-byte record" \
    '[[ "$add" == *"NOTIFY op=ADD hwnd="*" id=1 flags=0x7 msg=1025 icon=VarnelApp tip=\"MSF status: wait.  No data received\" size=$record result=1 injected=0" ]]'
  check "the four icons are loaded 16x16 in the order Fail, Poor, Good, App" \
    '[ "$(grep -o "ICON call=LoadImageA name=[A-Za-z]* type=1 cx=16 cy=16" "$log" | sed "s/.*name=//;s/ .*//" | tr "\n" " ")" = "VarnelFail VarnelPoor VarnelGood VarnelApp " ]'
  check "the settings key exists after start" '[ "$(drv reg key)" = "KEY present" ]'
  check "the values stay absent (defaults apply)" \
    '[ "$(drv reg all)" = "$(printf "VALUE PortAddress absent\nVALUE BitNumber absent\nVALUE UTCFlag absent")" ]'
  check "Inp32 reads the default port 0x201" 'grep -q "INP port=0x201 .*first=1" "$log"'
  check "no COM port opened" '! grep -q "^.* COM call=" "$log"'
  check "the common controls are initialised (standard classes) before the window's icons load" \
    '[[ "$(grep -m1 -E "COMCTL|ICON call=LoadImageA" "$log")" == *"COMCTL call=InitCommonControlsEx size=8 classes=0x4000 result=1" ]]'
  shot tray-wait
  # Menu: Escape closes it, the program goes on.
  d tray rclick >/dev/null
  check "right click opens the menu" '[ "$(d menu escape)" = "MENU open" ]'
  check "Escape closes the menu" '[ "$(d count "#32768" 0)" = "COUNT #32768 0" ]'
  # Properties from the menu (its first item) opens the dialog; Cancel.
  d tray rclick >/dev/null
  d menu properties >/dev/null
  check "menu Properties opens the dialog" 'd dialog | grep -q "^CAPTION \"VARNEL v1.6 Properties\""'
  d click 2 >/dev/null
  check "Cancel closes it" '[ "$(d count "#32770" 0)" = "COUNT #32770 0" ]'
  close_by_menu 1

  # No single-instance check: a second copy runs alongside with its own
  # window and icon; each closes on its own.
  local before first_pid first_out first_launcher first_window second_window
  before=$(lines)
  launch || return
  first_pid=$pid first_out=$out first_launcher=$launcher
  first_window=$(d window)
  launch || return
  second_window=$(d window)
  check "a second copy runs with its own window" \
    '[[ "$second_window" == "WINDOW 0x"* && "$first_window" == "WINDOW 0x"* && "$second_window" != "$first_window" ]]'
  await "$before" "NOTIFY op=ADD hwnd=${second_window#WINDOW } id=1 .*result=1" 10
  check "and its own icon (id 1 on its own window)" '[ -n "$LINE" ]'
  close_by_menu 1
  pid=$first_pid out=$first_out launcher=$first_launcher
  check "the first copy still runs" '[ "$(d window)" = "$first_window" ]'
  close_by_menu 1
}

# An elevated window hears the shell's "TaskbarCreated" only if it lets that
# message through its filter: the per-window call where it exists, else the
# process-wide one, else (before Vista) nothing to do. The number must be the
# one the shell broadcasts; the broadcast then brings the icon back.
scenario_filter() {
  begin filter Europe/London
  local missing expected window number before
  while IFS='|' read -r missing expected; do
    export VARNEL_SIM_NO_PROC=$missing
    [ -n "$missing" ] || unset VARNEL_SIM_NO_PROC
    before=$(lines 2>/dev/null)  # no log before the first start
    launch || return
    window=$(d window)
    window=${window#WINDOW }
    await "$before" 'NOTIFY op=ADD .* id=1 ' 10
    number=$(drv broadcast | sed -n 's/^BROADCAST TaskbarCreated //p')
    await "$AT" 'NOTIFY op=ADD' 10
    check "missing '${missing:-nothing}': the broadcast ($number) adds the icon again" '[ -n "$LINE" ]'
    local filters
    filters=$(tail -n +$((before + 1)) "$log" | grep -o 'FILTER call=.*' | sed "s/hwnd=$window /hwnd=WINDOW /")
    expected=${expected//NUMBER/$number}
    check "missing '${missing:-nothing}': filter calls '${expected:-none}'" '[ "$filters" = "$expected" ]'
    close_by_menu 1
  done <<'TABLE'
|FILTER call=ChangeWindowMessageFilterEx hwnd=WINDOW msg=NUMBER action=1 result=1 error=0
ChangeWindowMessageFilterEx|FILTER call=ChangeWindowMessageFilter msg=NUMBER flag=1 result=1 error=0
ChangeWindowMessageFilterEx,ChangeWindowMessageFilter|
TABLE
  unset VARNEL_SIM_NO_PROC
}

# Two failed adds: retried every 500 ms with the id raised; later calls use 3.
# The receiver is silent (no carrier): status fail with no data.
scenario_fail_adds() {
  begin fail-adds Europe/London
  export VARNEL_SIM_FAIL_ADDS=2 VARNEL_SIM_OFF=1
  launch || return
  await 0 'NOTIFY op=ADD .* result=1' 15
  local adds
  adds=$(grep 'NOTIFY op=ADD' "$log")
  check "adds with id 1 and 2 fail, id 3 succeeds" \
    '[ "$(sed "s/.* id=\([0-9]*\) .* result=\([01]\) injected=\([01]\)/\1 \2 \3/" <<<"$adds" | tr "\n" ",")" = "1 0 1,2 0 1,3 1 0," ]'
  local gaps
  gaps=$(awk '{print $2}' <<<"$adds" | awk 'NR>1 {print ($1 - prev >= 480 && $1 - prev <= 1500) ? "y" : "n:"$1-prev} {prev=$1}' | tr "\n" " ")
  check "about 500 ms between attempts ($gaps)" '[ "$gaps" = "y y " ]'
  local fail
  await 0 'NOTIFY op=MODIFY .*icon=VarnelFail' 60; fail=$LINE
  check "no carrier: fail icon, id 3, \"MSF status: fail. No data received\"" \
    '[[ "$fail" == *" id=3 flags=0x7 msg=1025 icon=VarnelFail tip=\"MSF status: fail. No data received\" "*"result=1"* ]]'
  check "no modify with another id" '! grep "NOTIFY op=MODIFY" "$log" | grep -vq " id=3 "'
  shot tray-fail
  local before
  before=$(lines)
  drv broadcast >/dev/null
  local again
  await "$before" 'NOTIFY op=ADD' 10; again=$LINE
  check "TaskbarCreated adds the icon again with id 3 and the current record" \
    '[[ "$again" == *" id=3 flags=0x7 msg=1025 icon=VarnelFail tip=\"MSF status: fail. No data received\" size=$record result="* ]]'
  check "exactly one add for one TaskbarCreated" '[ "$(tail -n +$((before + 1)) "$log" | grep -c "NOTIFY op=ADD")" = 1 ]'
  close_by_menu 3
  unset VARNEL_SIM_FAIL_ADDS VARNEL_SIM_OFF
}

# The dialog's template, lists and opening selections; the indicator's port
# choices; Cancel; OK with types and sizes; bad stored values; a second request.
scenario_dialog() {
  begin dialog Europe/London
  export VARNEL_SIM_FAIL_COM=4
  launch || return
  local dump before absent
  has() { grep -Fxq -- "$1" <<<"$dump"; }
  absent=$(printf "VALUE PortAddress absent\nVALUE BitNumber absent\nVALUE UTCFlag absent")
  dump=$(d window + tray dblclick + dialog + pixel 1090)
  echo "$dump" >"$S/dialog-defaults.txt"
  check "one dialog, caption \"VARNEL v1.6 Properties\"" 'has "DIALOGS 1" && has "CAPTION \"VARNEL v1.6 Properties\""'
  check "controls in tab order with their ids, classes and texts" \
    '[ "$(grep "^CONTROL" <<<"$dump" | sed "s/ style=[^ ]*//;s/ enabled=[01]//" | tr "\n" "|")" = "CONTROL 1088 class=Static text=\"COM &port or hex address:\"|CONTROL 1136 class=ComboBox text=\"201\"|CONTROL 1089 class=Static text=\"&Input bit number (0-7):\"|CONTROL 1137 class=ComboBox text=\"7\"|CONTROL 1056 class=Button text=\"&BST\"|CONTROL 1057 class=Button text=\"&UTC\"|CONTROL 1090 class=Static text=\"\"|CONTROL 1 class=Button text=\"OK\"|CONTROL 2 class=Button text=\"Cancel\"|" ]'
  check "port list: COM1:..COM9:, 201, 279, 2EE, 2FE, 379, 3EE, 3FE" \
    'has "LIST 1136 \"COM1:\",\"COM2:\",\"COM3:\",\"COM4:\",\"COM5:\",\"COM6:\",\"COM7:\",\"COM8:\",\"COM9:\",\"201\",\"279\",\"2EE\",\"2FE\",\"379\",\"3EE\",\"3FE\""'
  check "bit list: 0..7" 'has "LIST 1137 \"0\",\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\""'
  check "defaults at open: \"201\" (item 9), bit 7, BST checked" \
    'has "SEL 1136 9" && has "SEL 1137 7" && has "CHECK 1056 1" && has "CHECK 1057 0"'
  check "OK is the default button and enabled" \
    '[ $(( $(grep "^CONTROL 1 " <<<"$dump" | sed "s/.*style=\(0x[0-9a-f]*\).*/\1/") & 0xF )) = 1 ] && grep -q "^CONTROL 1 .*enabled=1" <<<"$dump"'
  check "the indicator is white or black on the live line" 'has "PIXEL 255 255 255" || has "PIXEL 0 0 0"'
  shot dialog

  # A second request brings the same dialog to the front.
  dump=$(d tray dblclick + sleep 1000 + count "#32770" + dialog)
  check "a second Properties request leaves one dialog" 'has "COUNT #32770 1"'
  check "and it is in front" 'has "FOREGROUND 1"'

  # Typing an address: the indicator reads that I/O port through Inp32.
  before=$(lines)
  dump=$(d type 1136 378 + pixel 1090 255 255 255 + dialog)
  check "typed \"378\": Inp32 reads port 0x378" 'await "$before" "INP port=0x378 .*first=1" 5'
  check "typed \"378\": OK enabled, no item selected" 'grep -q "^CONTROL 1 .*enabled=1" <<<"$dump" && has "SEL 1136 -1"'
  check "typed \"378\": no serial port opened" '! tail -n +$((before + 1)) "$log" | grep -q " COM call="'
  check "typed \"378\": the indicator is white (0xFF read)" 'has "PIXEL 255 255 255"'

  # An absent serial port: grey indicator, OK disabled; a present one: enabled.
  before=$(lines)
  dump=$(d select 1136 3 + pixel 1090 128 128 128 + dialog)
  check "COM4: is opened and fails" 'await "$before" "COM call=CreateFileA name=.*COM4\" port=4 result=invalid error=2 injected=1" 5'
  check "absent COM4: OK disabled" 'grep -q "^CONTROL 1 .*enabled=0" <<<"$dump"'
  check "absent COM4: grey indicator" 'has "PIXEL 128 128 128"'
  local tries=0
  for _ in $(seq 40); do
    tries=$(tail -n +$((before + 1)) "$log" | grep -c 'COM4" port=4 result=invalid')
    [ "$tries" -ge 5 ] && break
    sleep 0.25
  done
  check "absent COM4: the open is retried at the refresh ($tries tries)" '[ "$tries" -ge 5 ]'
  dump=$(d select 1136 0 + pixel 1090 255 255 255 + dialog)
  check "COM1: (present): OK enabled again" 'grep -q "^CONTROL 1 .*enabled=1" <<<"$dump"'
  check "COM1: is opened" 'tail -n +$((before + 1)) "$log" | grep -q "COM call=CreateFileA name=.*COM1\" port=1 result=0x"'

  # Cancel after changing everything: nothing stored.
  dump=$(d select 1137 2 + click 1057 + click 2 + count "#32770" 0)
  check "Cancel closes the dialog" 'has "COUNT #32770 0"'
  check "Cancel stores nothing" '[ "$(drv reg all)" = "$absent" ]'

  # OK: COM3, bit 5, UTC, stored with their types and sizes.
  dump=$(d tray dblclick + dialog)
  check "reopened after Cancel: still \"201\", bit 7, BST" 'has "SEL 1136 9" && has "SEL 1137 7" && has "CHECK 1056 1"'
  before=$(lines)
  dump=$(d select 1136 2 + select 1137 5 + click 1057 + click 1 + count "#32770" 0)
  check "OK closes the dialog" 'has "COUNT #32770 0"'
  dump=$(drv reg all)
  check "OK stores PortAddress 3 as REG_DWORD, 4 bytes" 'has "VALUE PortAddress type=4 size=4 data=03000000"'
  check "OK stores BitNumber 5 as REG_BINARY, 1 byte" 'has "VALUE BitNumber type=3 size=1 data=05"'
  check "OK stores UTCFlag 1 as REG_BINARY, 1 byte" 'has "VALUE UTCFlag type=3 size=1 data=01"'
  check "COM3 is opened for use" 'tail -n +$((before + 1)) "$log" | grep -q "COM call=CreateFileA name=.*COM3\" port=3 result=0x"'
  dump=$(d tray dblclick + dialog)
  check "reopened after OK: \"COM3:\", bit 5, UTC" 'has "SEL 1136 2" && has "SEL 1137 5" && has "CHECK 1057 1" && has "CHECK 1056 0"'
  # The same port with another bit: only BitNumber changes, COM3 stays open.
  before=$(lines)
  d select 1137 6 + click 1 >/dev/null
  dump=$(drv reg all)
  check "OK with the same port and bit 6 stores only the new bit" \
    'has "VALUE PortAddress type=4 size=4 data=03000000" && has "VALUE BitNumber type=3 size=1 data=06" && has "VALUE UTCFlag type=3 size=1 data=01"'
  check "and opens no port" '! tail -n +$((before + 1)) "$log" | grep -q " COM call="'
  close_by_menu 1
  unset VARNEL_SIM_FAIL_COM

  # Close Varnel from the menu while the dialog is open: the dialog goes with
  # the window, the icon is deleted, exit code 0.
  drv reg drop >/dev/null
  before=$(lines)
  launch || return
  dump=$(d window + tray dblclick + dialog + tray rclick + menu close + sleep 1000 + count "#32770")
  check "the menu opens over the open dialog" 'has "DIALOGS 1" && has "MENU open"'
  check "Close Varnel with the dialog open: exit code 0" '[ "$(await_exit 20)" = "EXIT 0" ]'
  check "and the icon is deleted" 'tail -n +$((before + 1)) "$log" | grep -q "NOTIFY op=DELETE .* id=1 .*result=1"'

  # Stored values read at start: the selection the dialog opens with, and what
  # OK then stores.
  opening() {  # opening DESC PORTHEX BITTYPE BITHEX PORTSEL BITSEL STORED-PORT [PORT-TEXT]
    local port_sel=$5 bit_sel=$6 stored=$7 port_text=${8:-}
    drv reg drop >/dev/null
    drv reg set PortAddress 4 "$2" >/dev/null
    [ -n "$3" ] && drv reg set BitNumber "$3" "$4" >/dev/null
    launch || return
    dump=$(d window + tray dblclick + dialog)
    check "$1: port item $5, bit item $6 at open" 'has "SEL 1136 $port_sel" && has "SEL 1137 $bit_sel"'
    [ -z "$port_text" ] ||
      check "$1: the port field reads \"$port_text\"" 'grep -q "^CONTROL 1136 .* text=\"$port_text\"$" <<<"$dump"'
    if [ -n "$7" ]; then
      d click 1 >/dev/null
      check "$1: OK stores PortAddress $7" '[ "$(drv reg get PortAddress)" = "VALUE PortAddress type=4 size=4 data=$stored" ]'
    else
      d click 2 >/dev/null
    fi
    close_by_menu 1
  }
  opening "PortAddress 0x20" 20000000 "" "" 9 7 01020000
  opening "PortAddress 0xC" 0c000000 "" "" 0 7 01000000
  opening "PortAddress 3" 03000000 "" "" 2 7 ""
  opening "PortAddress 0 (nothing selected)" 00000000 "" "" -1 7 ""
  opening "PortAddress 0x378 (not listed)" 78030000 "" "" -1 7 "" 378
  opening "PortAddress 0x2ee" ee020000 "" "" 11 7 ""
  opening "BitNumber stored as REG_DWORD 4 bytes (default 7 kept)" 01020000 4 03000000 9 7 ""
  opening "BitNumber 9" 01020000 3 09 9 -1 ""
}

# held_minute MINUTE: the clock guard held that confirmed minute: the poor
# icon with its time, logged at least 30 ms after its edge (a held minute lands
# 30 ms or more from where the minutes before it landed, and under Wine the
# signal is never early).
held_minute() {
  local line stamp ms
  line=$(grep -F "icon=VarnelPoor tip=\"MSF status: poor. $(tip_of_minute "$1") (UTC)\"" "$log" | head -n1)
  [ -n "$line" ] || return 1
  stamp=${line%% *}
  ms=$((10#${stamp##*.}))
  [ -n "$line" ] && [ "${stamp%:*}" = "$(date -u -d "${1/T/ }" +%H:%M)" ] &&
    [ "${stamp:6:2}" = 00 ] && [ "$ms" -ge 30 ] && HELD_MS=$ms
}

# Live sync in UTC mode: two confirmed minutes in a row, each setting the clock
# twice to hh:mm:00.000 of the minute it is in, with the good icon; then
# TaskbarCreated, a new bit and BST by OK, and close. On a loaded machine the
# clock guard may hold a minute whose message came late: up to three such
# minutes may come between two settings.
scenario_live() {
  begin live UTC
  drv reg set UTCFlag 3 01 >/dev/null
  launch || return
  local n=1 minute previous= from=0 first set skipped=0 gap x
  while [ "$n" -le 2 ]; do
    if ! await "$from" 'CLOCK call=SetLocalTime' $((n == 1 ? 200 : 75)); then
      bad "confirmed minute $n: no clock setting"
      tail -n 5 "$log"
      return
    fi
    minute=$(minute_of "$LINE" UTC 0)
    set="CLOCK call=SetLocalTime time=$minute:00.000 dow=$(dow_of_minute "$minute") result=1 error=0 injected=0"
    first=$LINE
    await "$AT" 'CLOCK|NOTIFY' 5
    check "minute $n: SetLocalTime $minute:00.000 (the minute it is in), twice, both succeed" \
      '[[ "$first" == *" $set" && "$LINE" == *" $set" ]]'
    await "$AT" 'CLOCK|NOTIFY' 5
    check "minute $n: then the good icon with \"MSF status: good. $(tip_of_minute "$minute") (UTC)\"" \
      '[[ "$LINE" == *"NOTIFY op=MODIFY hwnd="*" id=1 flags=0x7 msg=1025 icon=VarnelGood tip=\"MSF status: good. $(tip_of_minute "$minute") (UTC)\" size=$record result=1 injected=0" ]]'
    if [ -n "$previous" ]; then
      gap=$(( ($(date -u -d "${minute/T/ }" +%s) - $(date -u -d "${previous/T/ }" +%s)) / 60 ))
      if [ "$gap" -gt 1 ] && [ $((skipped + gap - 1)) -le 3 ]; then
        for ((x = 1; x < gap; x++)); do
          local between
          between=$(date -u -d "${previous/T/ } UTC + $x min" +%Y-%m-%dT%H:%M)
          HELD_MS=
          check "minute $between held by the clock guard: poor with its time, no clock call" \
            'held_minute "$between"'
          [ -n "$HELD_MS" ] && echo "  (held minute $between was shown $HELD_MS ms after its edge)"
        done
        skipped=$((skipped + gap - 1))
        n=1  # a new pair starts at this minute
      else
        check "minute $n follows minute $((n - 1))" '[ "$gap" = 1 ]'
      fi
    fi
    n=$((n + 1))
    previous=$minute from=$AT
  done
  shot tray-good

  local before tip
  tip=$(grep 'NOTIFY op=MODIFY' "$log" | tail -n1 | sed 's/.* tip=\("[^"]*"\).*/\1/')
  before=$(lines)
  drv broadcast >/dev/null
  await "$before" 'NOTIFY op=ADD' 10
  # Wine's shell still holds the icon, so the add itself may fail: the call
  # and its record are what count.
  check "TaskbarCreated adds the icon again with the current record ($tip)" \
    '[[ "$LINE" == *" id=1 flags=0x7 msg=1025 icon=VarnelGood tip=$tip size=$record result="* ]]'

  # A bit the receiver does not drive, and BST: stored, and the status fails.
  d tray dblclick >/dev/null
  dump=$(d dialog)
  has() { grep -Fxq -- "$1" <<<"$dump"; }
  check "the dialog opens with UTC checked (UTCFlag 1)" 'has "CHECK 1057 1" && has "CHECK 1056 0"'
  d select 1137 3 >/dev/null
  d click 1056 >/dev/null
  before=$(lines)
  d click 1 >/dev/null
  check "OK stores bit 3 and BST, the port unchanged" \
    '[ "$(drv reg all)" = "$(printf "VALUE PortAddress type=4 size=4 data=01020000\nVALUE BitNumber type=3 size=1 data=03\nVALUE UTCFlag type=3 size=1 data=00")" ]'
  if await "$before" 'NOTIFY op=MODIFY .*icon=VarnelFail' 40; then
    ok "the new bit takes effect at once: the fail icon"
    check "the fail tip keeps the last decoded date and time" \
      '[[ "$LINE" =~ tip=\"MSF\ status:\ fail\.\ [A-Z][a-z]{2}\ [0-9]{2}-[A-Z][a-z]{2}-[0-9]{4},\ [0-9]{2}:[0-9]{2}\ \(UTC\)\" ]]'
  else
    bad "the new bit takes effect at once: no fail icon within 40 s"
  fi
  close_by_menu 1
}

# A signal an hour ahead of the clock in UTC mode: the time is decoded and
# confirmed; the clock guard holds the first confirmed minute (the clock
# disagrees by an hour) and lets the next one through, which agrees with it;
# the clock refuses it (once, no second call), the status is poor with that
# time shown.
scenario_offset() {
  begin offset UTC
  drv reg set UTCFlag 3 01 >/dev/null
  export VARNEL_SIM_OFFSET=3600
  launch || return
  if ! await 0 'CLOCK call=SetLocalTime' 260; then
    bad "no clock setting within 260 s"
    return
  fi
  local clock=$LINE minute held
  minute=$(minute_of "$LINE" UTC 3600)
  held=$(date -u -d "${minute/T/ } UTC - 1 min" +%Y-%m-%dT%H:%M)
  check "the minute before, $held, was held: poor with its time before any clock call" \
    'head -n "$AT" "$log" | grep -qF "icon=VarnelPoor tip=\"MSF status: poor. $(tip_of_minute "$held") (UTC)\""'

  check "SetLocalTime asked for $minute:00.000 (an hour ahead) and refused (1314)" \
    '[[ "$clock" == *" CLOCK call=SetLocalTime time=$minute:00.000 dow=$(dow_of_minute "$minute") result=0 error=1314 injected=0" ]]'
  await "$AT" 'CLOCK|NOTIFY' 5
  check "then, with no second clock call, the poor icon with \"MSF status: poor. $(tip_of_minute "$minute") (UTC)\"" \
    '[[ "$LINE" == *"NOTIFY op=MODIFY hwnd="*" id=1 flags=0x7 msg=1025 icon=VarnelPoor tip=\"MSF status: poor. $(tip_of_minute "$minute") (UTC)\" size=$record result=1 injected=0" ]]'
  check "never good" '! grep -q "icon=VarnelGood" "$log"'
  close_by_menu 1
  unset VARNEL_SIM_OFFSET
}

# Local mode (UK civil time, TZ Europe/London): good, then the carrier goes.
scenario_loss() {
  begin loss Europe/London
  # The carrier goes this long after the first read: after the first confirmed
  # minute, which comes 60 to 180 s after the start depending on its second,
  # and after a second one, should the clock guard hold the first (a message
  # handled late).
  local loss=260
  export VARNEL_SIM_LOSS_AFTER=$loss
  launch || return
  if ! await 0 'CLOCK call=SetLocalTime .*result=1' $((loss - 5)); then
    bad "no successful clock setting before the carrier goes"
    grep NOTIFY "$log" | tail -n 5
    return
  fi
  local clock=$LINE minute label
  minute=$(minute_of "$LINE" Europe/London 0)
  label=$([ "$(TZ=Europe/London date -d "@$(date -u -d "${minute/T/ }" +%s)" +%Z)" = BST ] && echo BST || echo UTC)
  check "local mode: SetLocalTime $minute:00.000 (UK civil time) succeeded" \
    '[[ "$clock" == *" CLOCK call=SetLocalTime time=$minute:00.000 dow=$(dow_of_minute "$minute") result=1 error=0 injected=0" ]]'
  await "$AT" 'NOTIFY op=MODIFY' 5
  check "good with \"$(tip_of_minute "$minute") ($label)\"" \
    '[[ "$LINE" == *" icon=VarnelGood tip=\"MSF status: good. $(tip_of_minute "$minute") ($label)\" "* ]]'
  # Fail follows 256 ticks (5.12 s) without a second start. Until the decoder
  # takes the lasting carrier-off level as the normal one (up to 2.6 s), it
  # still sees starts in it: fail comes 5 to 8 s after the carrier goes. Times
  # by the log's own clock (ms since the library loaded): the carrier goes
  # $loss s after the first read.
  local first_read now gone
  first_read=$(grep -m1 'INP port=0x201 .*first=1' "$log" | cut -d' ' -f2)
  now=$(cut -d' ' -f2 <<<"$LINE")
  gone=$((first_read + loss * 1000))
  if await "$AT" 'NOTIFY op=MODIFY .*icon=VarnelFail' $(( (gone - now) / 1000 + 30 )); then
    local after=$(( $(cut -d' ' -f2 <<<"$LINE") - gone ))
    check "after the carrier goes: the fail icon, 4 to 15 s later ($after ms)" '[ "$after" -ge 4000 ] && [ "$after" -le 15000 ]'
    check "the fail tip keeps the last decoded date and time" \
      '[[ "$LINE" =~ tip=\"MSF\ status:\ fail\.\ [A-Z][a-z]{2}\ [0-9]{2}-[A-Z][a-z]{2}-[0-9]{4},\ [0-9]{2}:[0-9]{2}\ \((UTC|BST)\)\" ]]'
  else
    bad "after the carrier goes: no fail icon within 30 s"
  fi
  close_by_menu 1
  unset VARNEL_SIM_LOSS_AFTER
}

# ---------------------------------------------------------------- the receiver monitor

# monitor_start [-f FOLDER] ARGS...: varnel-monitor.exe in the background
# (from C:\FOLDER, default C:\varnel, beside the simulated receiver), its
# output in $mout and $merr; sets $launcher. monitor_wait then sets $mrc and
# leaves the output without CRs in $mout.txt and $merr.txt.
mon_run=0
monitor_start() {
  local folder=varnel
  if [ "$1" = -f ]; then folder=$2; shift 2; fi
  mon_run=$((mon_run + 1))
  mout=$S/monitor$mon_run.out merr=$S/monitor$mon_run.err
  timeout 300 wine "C:\\$folder\\varnel-monitor.exe" "$@" >"$mout" 2>"$merr" &
  launcher=$!
}
monitor_wait() {
  mrc=0
  wait "$launcher" || mrc=$?
  launcher=
  tr -d '\r' <"$mout" >"$mout.txt"
  tr -d '\r' <"$merr" >"$merr.txt"
}
monitor() { monitor_start "$@"; monitor_wait; }

# The messages the monitor printed, and those varnel-replay gives for its
# recording (C:\NAME): compared line for line.
compare_replay() {  # compare_replay RECORDING-NAME
  grep -E '^[0-9]+ [0-9A-F]{8} [0-9A-F]{8}  ' "$mout.txt" >"$S/live.messages"
  "$replay" <"$WINEPREFIX/drive_c/$1" | grep -v '^#' >"$S/replayed.messages"
  local live replayed
  live=$(wc -l <"$S/live.messages") replayed=$(wc -l <"$S/replayed.messages")
  check "the replayed recording gives the $live messages printed live ($replayed replayed, identical)" \
    'cmp -s "$S/live.messages" "$S/replayed.messages"'
}

# A recording is complete: its samples and its trailer agree with the count
# the monitor printed when it stopped.
check_recording() {  # check_recording NAME SAMPLES HOW [INPUT]
  local file=$WINEPREFIX/drive_c/$1 samples=$2 how=$3 count input=${4:-I/O port 0x201 bit 7}
  count=$(grep -v '^#' "$file" | tr -d '\r\nLU' | wc -c)
  check "the recording holds the $samples samples (counted $count), ends \"stopped by $how\"" \
    '[ "$count" = "$samples" ] && tail -n1 "$file" | tr -d "\r" | grep -q "^# end: $samples samples, .*, stopped by $how$"'
  check "its header: version, UTC start, input, clock mode, then the mode marker" \
    '[ "$(head -n6 "$file" | tr -d "\r" | sed "s/[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]*Z/TIME/;s/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T/DATE/" | tr "\n" "|")" = "# varnel-monitor 1.6.0 recording: each 0 or 1 is one 20 ms sample of the input bit|# start DATETIME|# input $input|# clock mode UK civil time|# replay: varnel-replay < this-file|L|" ]'
}

# Clean live signal, UK civil time, three minutes recorded: every second
# regular and numbered from the marker, its pulses matching its A and B bits
# (100 ms: 0 0, 200: 1 0, 300: 1 1, 100+100: 0 1, 500 at the marker);
# the markers' minutes are the clock's, and Varnel's guard would set the clock
# with each; the part-minute before the first marker names the bits it missed
# instead of failing their parity; every minute judged good; the recording
# replays to the same messages.
scenario_monitor_clean() {
  begin monitor-clean Europe/London
  monitor --record 'C:\clean.txt' --duration 3m
  check "three minutes: exit code 0 (got $mrc)" '[ "$mrc" = 0 ]'
  check "the header names Varnel's input and mode" \
    'grep -qx "varnel-monitor 1.6.0: I/O port 0x201 bit 7 (Varnel'"'"'s setting), clock mode UK civil time" "$mout.txt"'
  check "stopped after 9000 samples" 'grep -qx "Stopped after 9000 samples (180.00 s) by --duration." "$mout.txt"'
  local seconds
  # A late tick moves a pulse's edge by a sample or two: pulses get the two
  # samples (40 ms) the decoder allows a second's length. A monitor started
  # in the last eight seconds of a minute misses that minute's identifier, so
  # its first marker comes before any numbered second; one started inside a
  # pulse sees its first second from the middle, short. Seconds that do not
  # fit are kept in unlike.txt.
  seconds=$(awk -v unlike="$S/unlike.txt" 'function near(x, t) { return x >= t - 40 && x <= t + 40 }
    $1 == "second" && $3 == "off" {
      n++
      if (n == 1 && $8 < 960) next
      if ($10 != "regular") irregular++
      k = split($4, run, "+")
      ab = $6 " " $7
      if (!((k == 1 && near(run[1], 100) && ab == "A=0 B=0") || (k == 1 && near(run[1], 200) && ab == "A=1 B=0") ||
            (k == 1 && near(run[1], 300) && ab == "A=1 B=1") || (k == 2 && near(run[1], 100) && near(run[2], 100) && ab == "A=0 B=1") ||
            (($2 == "0" || ($2 == "--" && !numbered)) && k == 1 && near(run[1], 500) && ab == "A=1 B=1"))) { wrong++; print > unlike }
      if ($10 != "regular") print > unlike
      if ($2 != "--") { if (numbered && $2 != (last == 59 ? 0 : last + 1)) skipped++; if (!numbered && $2 != 0) skipped++; numbered++; last = $2 }
    } END { printf "%d seconds, %d numbered, %d irregular, %d pulses unlike their bits, %d out of order", n, numbered, irregular, wrong, skipped }' "$mout.txt")
  # A loaded host can stall the 20 ms timer: its ticks are dropped, and the
  # monitor rightly shows the second they fall in as irregular. The simulated
  # receiver logs each stall; each may cost two seconds (the one it falls in
  # and the next), nothing else may.
  local stalls allowed irregular unlike
  stalls=$(grep -c ' GAP ms=' "$log" || true)
  allowed=$((2 * stalls))
  irregular=$(sed -n 's/.* \([0-9]*\) irregular,.*/\1/p' <<<"$seconds")
  unlike=$(sed -n 's/.* \([0-9]*\) pulses unlike.*/\1/p' <<<"$seconds")
  [ "$stalls" = 0 ] || echo "  (the timer stalled $stalls times: $(grep ' GAP ms=' "$log" | cut -d' ' -f3- | tr '\n' ';'))"
  check "per-second lines: $seconds (at most $allowed irregular or unlike, two per stall)" \
    '[[ "$seconds" =~ ^1(7[89]|80)\ seconds,\ [0-9]+\ numbered,\ [0-9]+\ irregular,\ [0-9]+\ pulses\ unlike\ their\ bits,\ 0\ out\ of\ order$ ]] && [ "$irregular" -le "$allowed" ] && [ "$unlike" -le "$allowed" ]'
  [ -s "$S/unlike.txt" ] && sed 's/^/    /' "$S/unlike.txt"
  # A confirmed minute's message gives its sample, and so its time after the
  # first read of the port: the clock's minute then.
  local first epoch sample wparam lparam date dow hm flags minute confirmed=0
  first=$(grep -m1 'INP port=0x201 .*first=1' "$log")
  epoch=$(date -u -d "$(date -u +%F) ${first%% *}" +%s.%N)
  [ "${epoch%.*}" -le "$(date +%s)" ] || epoch=$(awk -v e="$epoch" 'BEGIN { printf "%.3f", e - 86400 }')
  grep -E '^[0-9]+ [0-9A-F]{8} [0-9A-F]{8}  ' "$mout.txt" >"$S/live.messages"
  while read -r sample wparam lparam date dow hm flags; do
    [[ "$flags" == *TIME_VALID* ]] || continue
    confirmed=$((confirmed + 1))
    minute=$(LC_ALL=C TZ=Europe/London date -d "@$(awk -v e="$epoch" -v s="$sample" 'BEGIN { printf "%.3f", e + (s - 1) * 0.02 + 1 }')" +'%y-%m-%d %a %H:%M %Z')
    check "confirmed at sample $sample: $date $dow $hm, the clock's minute ($minute)" '[ "$date $dow $hm" = "${minute% *}" ]'
    # Under Wine the clock is the signal's own, so Varnel's guard sets every
    # confirmed minute; a stall of the timer at the marker may make it hold
    # one, and must say why.
    local said set_re hold_re
    said=$(grep -A1 -x "minute marker: $date $dow $hm ${minute##* }, parity: year ok, month+day ok, weekday ok, hour+minute ok" "$mout.txt" | tail -n +2)
    set_re="^  confirmed: Varnel's guard would set the clock to $hm:00(\\.[0-9]{3})? \\(${minute##* }\\)( [0-9]+ ms after its marker, when its second starts|, handled [0-9]+ ms after its second's start)?: (it follows from the minute last used|the clock already agrees within 50 ms)\$"
    hold_re="^  confirmed, but Varnel's guard would hold it: (its marker came [0-9]+ ms before|it was handled [0-9]+ ms after) its second's start\$"
    if [ "$stalls" != 0 ] && [[ "$said" =~ $hold_re ]]; then
      ok "its marker line: held by Varnel's guard after a stall of the timer (\"${said#  }\")"
    else
      check "its marker line: fields, zone, parity, and Varnel's guard setting the clock to $hm:00 (\"${said#  }\")" \
        '[[ "$said" =~ $set_re ]]'
    fi
  done <"$S/live.messages"
  local firstmarker
  firstmarker=$(grep -m1 "^minute marker:" "$mout.txt")
  check "the first marker line names what was not received, never a FAILED check (\"$firstmarker\")" \
    '[[ "$firstmarker" != *FAILED* ]] && { [[ "$firstmarker" == *", parity: year ok, month+day ok, weekday ok, hour+minute ok" ]] || [[ "$firstmarker" =~ ,\ bits\ of\ seconds\ 1\ to\ [0-9]+\ not\ received, ]]; }'
  check "$(grep -c "^minute marker:" "$mout.txt") markers, $confirmed confirmed" \
    '[ "$(grep -c "^minute marker:" "$mout.txt")" -ge 2 ] && [ "$confirmed" -ge 1 ]'
  check "every minute judged \"good signal\"" \
    '[ -n "$(grep "summary: " "$mout.txt")" ] && ! grep "summary: " "$mout.txt" | grep -vq ": good signal$"'
  check_recording clean.txt 9000 --duration
  compare_replay clean.txt
}

# A noisy line: irregular seconds with split pulses, every minute judged
# noisy; the recording still replays exactly.
scenario_monitor_noise() {
  begin monitor-noise Europe/London
  export VARNEL_SIM_NOISE=0.05 VARNEL_SIM_SEED=3
  monitor --record 'C:\noise.txt' --duration 130s
  check "exit code 0 (got $mrc)" '[ "$mrc" = 0 ]'
  check "irregular seconds ($(grep -c " irregular$" "$mout.txt"))" '[ "$(grep -c " irregular$" "$mout.txt")" -ge 10 ]'
  check "pulses split by noise (\"off 100+20+...\")" 'grep -Eq "^second +[-0-9]+  off [0-9]+(\+[0-9.]+)+ ms" "$mout.txt"'
  check "every minute judged \"noisy: try turning the aerial\"" \
    '[ -n "$(grep "summary: " "$mout.txt")" ] && ! grep "summary: " "$mout.txt" | grep -vq ": noisy: try turning the aerial$"'
  check_recording noise.txt 6500 --duration
  compare_replay noise.txt
  check "SECOND_IRREGULAR among the messages" 'grep -q "SECOND_IRREGULAR" "$S/live.messages"'
  unset VARNEL_SIM_NOISE VARNEL_SIM_SEED
}

# The carrier goes after 20 s: a line for each further second without a second
# start, the no-pulse message, and the minute judged "no pulses".
scenario_monitor_loss() {
  begin monitor-loss Europe/London
  export VARNEL_SIM_LOSS_AFTER=20
  monitor --duration 130s
  check "exit code 0 (got $mrc)" '[ "$mrc" = 0 ]'
  check "regular seconds before the loss" '[ "$(grep -c "^second .* off .* regular$" "$mout.txt")" -ge 15 ]'
  local silent
  silent=$(sed -n 's/^second  --  no second start for \([0-9]*\) s$/\1/p' "$mout.txt" | tr '\n' ' ')
  silent=${silent% }
  check "then one line a second: no second start for 2, 3, ... s (up to ${silent##* })" \
    '[ "$silent" = "$(seq -s " " 2 "$(wc -w <<<"$silent" | awk "{print \$1 + 1}")")" ] && [ "$(wc -w <<<"$silent")" -ge 100 ]'
  check "the decoder posts NO_PULSE" 'grep -Eq "^[0-9]+ [0-9A-F]{8} [0-9A-F]{8}  .*NO_PULSE" "$mout.txt"'
  check "the minute is judged \"no pulses: check wiring or bit\"" 'grep -q "summary: .*: no pulses: check wiring or bit$" "$mout.txt"'
  unset VARNEL_SIM_LOSS_AFTER
}

# Ctrl-C (SIGINT to the Wine process, which Wine hands to the console control
# handler) ends it cleanly: the timer killed, the recording complete. The
# input comes from Varnel's settings: I/O port 0x379, bit 3.
scenario_monitor_ctrlc() {
  begin monitor-ctrlc Europe/London
  drv reg set PortAddress 4 79030000 >/dev/null
  drv reg set BitNumber 3 03 >/dev/null
  export VARNEL_SIM_PORT=379 VARNEL_SIM_BIT=3
  monitor_start --record 'C:\ctrlc.txt'
  local n
  for _ in $(seq 150); do
    n=$(grep -c "^second .* off " "$mout" 2>/dev/null)
    [ "${n:-0}" -ge 6 ] && break
    sleep 0.1
  done
  kill -INT "$launcher"
  monitor_wait
  check "Ctrl-C after $n seconds: exit code 0 (got $mrc)" '[ "$mrc" = 0 ]'
  check "the header names Varnel's setting: I/O port 0x379 bit 3" \
    'grep -q "^varnel-monitor 1.6.0: I/O port 0x379 bit 3 (Varnel'"'"'s setting)" "$mout.txt"'
  local taken
  taken=$(sed -n 's/^Stopped after \([0-9]*\) samples (.*) by Ctrl-C\.$/\1/p' "$mout.txt")
  check "\"Stopped after $taken samples ... by Ctrl-C.\"" '[ -n "$taken" ] && [ "$taken" -ge 300 ]'
  check "the timer was started and killed" \
    'grep -q "TIMER call=timeSetEvent delay=20 resolution=0 flags=0x1 result=[1-9]" "$log" && grep -q "TIMER call=timeKillEvent" "$log"'
  check_recording ctrlc.txt "${taken:-0}" Ctrl-C "I/O port 0x379 bit 3"
  compare_replay ctrlc.txt
  unset VARNEL_SIM_PORT VARNEL_SIM_BIT
}

# Ports that cannot be used, and bad options: a plain message and an exit code.
scenario_monitor_ports() {
  begin monitor-ports Europe/London
  export VARNEL_SIM_FAIL_COM=3:5,4
  monitor --port COM3
  check "COM3 held by another program (error 5): exit code 3 (got $mrc)" '[ "$mrc" = 3 ]'
  check "and says so, and how to close Varnel" \
    'grep -q "COM3 is held open by another program" "$merr.txt" && grep -q "Close Varnel" "$merr.txt"'
  check "the open failed with error 5" 'grep -q "COM call=CreateFileA .* port=3 result=invalid error=5 injected=1" "$log"'
  monitor --port COM4
  check "COM4 absent: exit code 3, \"There is no COM4 on this PC.\"" \
    '[ "$mrc" = 3 ] && grep -q "There is no COM4 on this PC." "$merr.txt"'
  monitor --port COM2 --bit 4 --duration 3s
  check "COM2 opens (Wine has no modem lines): runs 3 s, exit code 0 (got $mrc)" \
    '[ "$mrc" = 0 ] && grep -q "^varnel-monitor 1.6.0: COM2 bit 4 (CTS) (from the options)" "$mout.txt"'
  check "and sees no second start" 'grep -qx "second  --  no second start for 2 s" "$mout.txt"'
  monitor --bit 9
  check "--bit 9: exit code 2 with its reason" '[ "$mrc" = 2 ] && grep -qx "varnel-monitor: --bit 9: give a bit number from 0 to 7" "$merr.txt"'
  monitor -f nolib --duration 2s
  check "no InpOut32.dll for an I/O port: exit code 4 (got $mrc)" \
    '[ "$mrc" = 4 ] && grep -q "^varnel-monitor: Couldn'"'"'t load InpOut32.dll" "$merr.txt"'
  monitor -f nolib --port COM2 --duration 2s
  check "a serial port needs no InpOut32.dll: exit code 0 (got $mrc)" '[ "$mrc" = 0 ]'
  unset VARNEL_SIM_FAIL_COM
}

# ---------------------------------------------------------------- groups

# run_scenario NAME: in its own subshell; prints PASS/FAIL, returns the result.
run_scenario() {
  (
    fails=0
    "scenario_$1"
    finish
    trap - EXIT
    if [ "$fails" -eq 0 ]; then echo "PASS $1"; else echo "FAIL $1 ($fails checks)"; exit 1; fi
  ) >"$work/$1.out" 2>&1
  local status=$?
  cat "$work/$1.out"
  return $status
}

start=$(date +%s)
status=0
case $group in
  startup) run_scenario startup || status=1 ;;
  tray)    run_scenario first_start || status=1; run_scenario filter || status=1; run_scenario fail_adds || status=1 ;;
  dialog)  run_scenario dialog || status=1 ;;
  live)
    # The minute-long waits run side by side, each in its own prefix.
    pids=()
    for name in live offset loss; do run_scenario "$name" >/dev/null 2>&1 & pids+=($!); done
    for p in "${pids[@]}"; do wait "$p" || status=1; done
    for name in live offset loss; do cat "$work/$name.out"; done
    ;;
  monitor)
    # The long runs side by side, the short ones one after the other beside them.
    [ -x "$replay" ] || { echo "no native varnel-replay at '$replay': build the native preset first"; exit 1; }
    pids=()
    for name in monitor_clean monitor_noise monitor_loss; do run_scenario "$name" >/dev/null 2>&1 & pids+=($!); done
    (run_scenario monitor_ctrlc >/dev/null 2>&1; s=$?; run_scenario monitor_ports >/dev/null 2>&1 || s=1; exit $s) & pids+=($!)
    for p in "${pids[@]}"; do wait "$p" || status=1; done
    for name in monitor_clean monitor_noise monitor_loss monitor_ctrlc monitor_ports; do cat "$work/$name.out"; done
    ;;
  *) echo "unknown group $group"; exit 2 ;;
esac
echo "e2e $group: $(( $(date +%s) - start )) s, artefacts in $artefacts"
exit $status
