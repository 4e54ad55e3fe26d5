#!/usr/bin/env bash
# The installer under Wine, as an administrator would use it: silent
# install into a fresh prefix, what lands where, a running Varnel stopped by
# the silent uninstaller, and what the uninstaller removes and keeps; the
# folders it refuses, and what its log (setup.log) says it did, in order.
# Then the wizard by hand, each page and message box saved as a picture.
# Usage: wine_install.sh [--arch x64|i686] setup.exe InpOut32.dll version work-dir setup_driver.exe
#   InpOut32.dll: the simulated receiver (tools/inpout32sim), whose log shows
#   when Varnel is up.
#   The installer's architecture (x64 by default): i686 runs in the 32-bit
#   chroot's Wine (scripts/wine-i686), in a 32-bit prefix.
set -euo pipefail

arch=x64
if [ "$1" = --arch ]; then arch=$2; shift 2; fi
setup=$1 library=$2 version=$3 work=$4 driver=$5
mkdir -p "$work"
work=$(cd "$work" && pwd)

# shellcheck source=../../scripts/wine-arch.sh
source "$(dirname "$0")/../../scripts/wine-arch.sh"
use_wine "$arch" "$work" -- "$0" --arch "$arch" "$@"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPREFIX WINESERVER

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# A command that stops the script says which one, rather than ending it silently.
trap 'echo "FAIL: line $LINENO: \"$BASH_COMMAND\" exited $?"' ERR
note() { echo "note: $*"; }

xvfb_pid=
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then timeout 20 wineserver -k 2>/dev/null || true; fi
  stop_xvfb
}
trap cleanup EXIT

# shellcheck source=../../scripts/xvfb.sh
source "$(dirname "$0")/../../scripts/xvfb.sh"
start_xvfb "$work"

bash "$(dirname "$0")/../../scripts/wine-prefix" --arch "$arch" "$work/template"

# A fresh prefix per scenario, cloned from the template.
fresh_prefix() {
  if [ -n "${WINEPREFIX:-}" ]; then timeout 20 wineserver -k 2>/dev/null || true; fi
  export WINEPREFIX=$work/$1
  rm -rf "$WINEPREFIX"
  cp -a "$work/template" "$WINEPREFIX"
  cp "$setup" "$WINEPREFIX/drive_c/setup.exe"
  program_dir="$WINEPREFIX/drive_c/Program Files/Varnel"
  task_file="$WINEPREFIX/drive_c/windows/system32/tasks/Varnel"
  shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Varnel.lnk"
  monitor_shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Varnel receiver monitor.lnk"
}

# Runs a Windows program and waits for every process it started (the
# uninstaller hands over to a copy of itself in %TEMP% and returns at once).
run_and_settle() {
  local rc=0
  timeout 120 wine "$@" || rc=$?
  timeout 60 wineserver -w || fail "processes still running 60 s after: $*"
  return $rc
}

# start_varnel NAME [EXE]: starts the installed varnel.exe, or EXE (beside the
# simulated receiver, whose log $work/NAME-sim.log shows its calls), and waits
# for its tray icon, so that what follows meets a running Varnel with its
# window however slowly it started.
start_varnel() {
  local log=$work/$1-sim.log
  rm -f "$log"
  (cd "$work" && VARNEL_SIM_LOG=$log exec timeout 120 wine "${2:-C:\Program Files\Varnel\varnel.exe}") &
  varnel_pid=$!
  for _ in $(seq 300); do
    grep -q 'NOTIFY op=ADD .*result=1' "$log" 2>/dev/null && return 0
    kill -0 "$varnel_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "varnel.exe showed no tray icon within 30 s"
}

reg_value() {  # key value -> the data column, empty if absent
  timeout 30 wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v v="$2" '$1 == v { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
reg_key_exists() { timeout 30 wine reg query "$1" >/dev/null 2>&1; }

# setup_run [NAME=value...] PROGRAM ARGS...: through the driver, which keeps the
# command line as written (NSIS wants /D= last and unquoted, /USER="..." with
# its quotes) and sets those variables for the program; its exit code.
setup_run() {
  local rc=0
  [ -f "$WINEPREFIX/drive_c/driver.exe" ] || cp "$driver" "$WINEPREFIX/drive_c/driver.exe"
  timeout 180 wine 'C:\driver.exe' run "$@" >/dev/null 2>&1 || rc=$?
  timeout 60 wineserver -w || fail "processes still running 60 s after: $*"
  return $rc
}
# The owner and access list Windows reports for a path, as SDDL.
sddl_of() { timeout 30 wine 'C:\driver.exe' sddl "$1" 2>/dev/null | tr -d '\r'; }
# Wine keeps a file's permissions as Unix mode bits: only the owner's and
# Everyone's (WD) entries survive, so what can be read back is whether
# Everyone kept an entry; those of Administrators and Users cannot be.
locked() { local sd; sd=$(sddl_of "$1"); [[ "$sd" == "SDDL O:"* && "$sd" != *";WD)"* ]]; }
task_description() { tr -d '\r' <"$task_file" | sed -n 's:.*<Description>\(.*\)</Description>.*:\1:p'; }
# in_log LINE...: each line begins a line of setup's log in the folder, after
# the one before (setup writes it as UTF-16).
in_log() {
  local last=0 n line
  for line; do
    n=$(iconv -f UTF-16 -t UTF-8 "$program_dir/setup.log" 2>/dev/null | tr -d '\r' |
        grep -nF -- "$line" | awk -F: -v after="$last" '$1 > after { print $1; exit }')
    [ -n "$n" ] || { echo "  setup.log has no '$line' after line $last"; return 1; }
    last=$n
  done
}
clock_right_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnel\ClockRight'

uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnel'
folder_key='HKLM\Software\Pellworth\Varnel'
settings_key='HKCU\Software\Pellworth\Varnel'

echo "== silent install, then a running Varnel and a silent uninstall"
fresh_prefix silent
# Setup runs as another account than the one logged on, as when a standard
# user types an administrator's password: the task and the right are still
# for the user of the session.
session_user=$(timeout 30 wine cmd /c 'echo %USERDOMAIN%\%USERNAME%' 2>/dev/null | tr -d '\r')
setup_run USERNAME=admin USERDOMAIN=SERVER 'C:\setup.exe' /S /CLOCKRIGHT || fail "setup /S /CLOCKRIGHT exited with $?"

listing=$(cd "$program_dir" 2>/dev/null && ls | LC_ALL=C sort | tr '\n' ' ')
if [ "$listing" = "LICENSE.txt README.txt setup.log uninstall.exe varnel-monitor.exe varnel.exe " ]; then
  pass "Program Files\\Varnel holds exactly $listing"
else
  fail "Program Files\\Varnel holds '$listing'"
fi
[ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/Varnel" ] || fail "the installer used Program Files (x86) in a $WINEARCH prefix"
find "$WINEPREFIX/drive_c" -iname 'inpout32*' | grep -q . && fail "an InpOut32 file was installed"
cmp -s <(tr -d '\r' <"$program_dir/LICENSE.txt") "$(dirname "$0")/../../LICENSE" || fail "installed LICENSE.txt differs from LICENSE"
head -n1 "$program_dir/README.txt" | grep -q "Varnel $version: the user's guide" \
  && pass "README.txt is the user's guide" || fail "README.txt begins '$(head -n1 "$program_dir/README.txt")'"

[ "$(reg_value "$uninst_key" DisplayVersion)" = "$version" ] \
  && pass "Programs and Features lists version $version" \
  || fail "uninstall entry's DisplayVersion is '$(reg_value "$uninst_key" DisplayVersion)'"
[ "$(reg_value "$uninst_key" QuietUninstallString)" = '"C:\Program Files\Varnel\uninstall.exe" /S' ] \
  || fail "QuietUninstallString is '$(reg_value "$uninst_key" QuietUninstallString)'"
locked 'C:\Program Files\Varnel' && pass "Program Files\\Varnel grants Everyone nothing ($(sddl_of 'C:\Program Files\Varnel'))" \
  || fail "Program Files\\Varnel: $(sddl_of 'C:\Program Files\Varnel')"
in_log "Made C:\Program Files\Varnel with its permissions" "Checked C:\Program Files\Varnel: owned by" \
       "Varnel will start at each log-on of $session_user." \
  && pass "setup made the folder with its permissions, read them back, then went on" || fail "setup.log: folder made and checked"
# Wine accepts the grant and keeps nothing (LsaEnumerateAccountRights finds no
# rights afterwards), so what is checked is setup's own record of it.
sid=$(timeout 30 wine reg query "$clock_right_key" 2>/dev/null | tr -d '\r' | awk '$2 == "REG_SZ" { print $1 }' || true)
[[ "$sid" == S-1-5-* && "$(reg_value "$clock_right_key" "$sid")" = "$session_user" ]] \
  && pass "/CLOCKRIGHT: the right granted to $session_user is recorded by SID ($sid) for the uninstaller" \
  || fail "/CLOCKRIGHT: record '$sid' = '$(reg_value "$clock_right_key" "$sid")'"

# The Start-menu shortcut must ask for elevation, or Varnel started from it
# cannot set the clock: link flags byte 0x15, bit 0x20.
if [ -f "$shortcut" ]; then
  flags=$(od -An -tu1 -j21 -N1 "$shortcut" | tr -d ' ')
  (( flags & 32 )) && pass "Start-menu shortcut runs as administrator" || fail "shortcut flags byte is $flags, no run-as bit"
else
  fail "no Start-menu shortcut"
fi
[ -f "$monitor_shortcut" ] && pass "Start-menu entry \"Varnel receiver monitor\"" || fail "no receiver monitor shortcut"

# Wine's task scheduler keeps a task's registration and settings but drops its
# triggers, principal and actions (taskschd stubs), so the log-on trigger and
# the highest run level cannot be seen here; the settings that decide whether
# Windows would stop Varnel can.
if [ -f "$task_file" ]; then
  task=$(tr -d '\r' <"$task_file")
  grep -q "<Author>Varnel $version Setup</Author>" <<<"$task" && pass "log-on task 'Varnel' registered" || fail "task has another author"
  grep -q '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>' <<<"$task" || fail "task keeps a run-time limit"
  grep -q '<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>' <<<"$task" || fail "task would not start on battery"
  grep -q '<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>' <<<"$task" || fail "task would stop on battery"
  grep -q '<Priority>4</Priority>' <<<"$task" || fail "task priority is not normal"
  note "Wine stores no triggers, principal or actions of a task: the log-on trigger, the highest run level and the command are not checked here"
  [ "$(task_description)" = "Starts C:\Program Files\Varnel\varnel.exe when $session_user logs on, so that it keeps the clock right from the MSF time signal." ] \
    && pass "the task is for the session's user $session_user, not the account setup ran as" \
    || fail "task description '$(task_description)'"
else
  fail "no task 'Varnel' registered (system32\\tasks\\Varnel missing)"
fi

# Varnel running, as after a log-on: the library in the system folder, a
# setting of the user's own.
cp "$library" "$WINEPREFIX/drive_c/windows/system32/InpOut32.dll"
timeout 90 wine reg add "$settings_key" /v UTCFlag /t REG_BINARY /d 01 /f >/dev/null
start_varnel silent

timeout 120 wine 'C:\Program Files\Varnel\uninstall.exe' /S || fail "uninstall /S exited with $?"
# The polite stop ends Varnel through its window (exit 0); a forced stop gives 1.
varnel_rc=0
wait "$varnel_pid" || varnel_rc=$?
timeout 60 wineserver -w || fail "processes still running after the uninstall"
case $varnel_rc in
  0) pass "the uninstaller closed the running Varnel (exit 0)";;
  1) note "the uninstaller had to end Varnel by force (exit 1)";;
  124) fail "the uninstaller left Varnel running";;
  *) fail "Varnel ended with $varnel_rc";;
esac

[ ! -e "$program_dir" ] && pass "Program Files\\Varnel removed" || fail "left: $(ls "$program_dir")"
[ ! -e "$shortcut" ] || fail "Start-menu shortcut left"
[ ! -e "$monitor_shortcut" ] || fail "receiver monitor shortcut left"
[ ! -e "$task_file" ] && pass "log-on task removed" || fail "log-on task left"
reg_key_exists "$uninst_key" && fail "uninstall entry left in the registry"
reg_key_exists "$folder_key" && fail "the record of the folder is left"
[ "$(reg_value "$settings_key" UTCFlag)" = "01" ] \
  && pass "silent uninstall keeps the user's settings" || fail "silent uninstall lost the settings"

echo "== the user's own InpOut32.dll, one an older setup's folder held, and /REMOVESETTINGS"
fresh_prefix own-library
run_and_settle 'C:\setup.exe' /S || fail "setup /S exited with $?"
reg_key_exists "$clock_right_key" && fail "the right was granted without /CLOCKRIGHT"
# A folder an older setup recorded, not one of this setup's making.
cp "$library" "$program_dir/InpOut32.dll"
timeout 30 wine reg delete "$folder_key" /v Folder /f >/dev/null 2>&1 || fail "no record of the folder setup made"
rc=0
setup_run 'C:\setup.exe' /S || rc=$?
[ "$rc" = 0 ] && [ ! -e "$program_dir/InpOut32.dll" ] && in_log "Removed InpOut32.dll from C:\Program Files\Varnel" \
  && pass "an InpOut32.dll in an older setup's folder is not kept (updated, exit 0)" || fail "older setup's folder: exit $rc"
[ "$(reg_value "$folder_key" Folder)" = 'C:\Program Files\Varnel' ] || fail "the folder is not recorded as setup's"
cp "$library" "$program_dir/InpOut32.dll"
timeout 90 wine reg add "$settings_key" /v BitNumber /t REG_BINARY /d 04 /f >/dev/null
run_and_settle 'C:\Program Files\Varnel\uninstall.exe' /S /REMOVESETTINGS || fail "uninstall exited with $?"
listing=$(cd "$program_dir" 2>/dev/null && ls | tr '\n' ' ')
[ "$listing" = "InpOut32.dll " ] && pass "the user's InpOut32.dll and its folder are kept" || fail "folder holds '$listing'"
rc=0
setup_run 'C:\setup.exe' /S || rc=$?
[ "$rc" = 0 ] && [ -f "$program_dir/InpOut32.dll" ] && [ -f "$program_dir/varnel.exe" ] \
  && pass "installed again into the kept folder, its InpOut32.dll kept" || fail "the kept folder: exit $rc"
reg_key_exists "$settings_key" && fail "/REMOVESETTINGS kept the settings key"
reg_key_exists 'HKCU\Software\Pellworth' && fail "/REMOVESETTINGS left the empty Pellworth key"
reg_key_exists "$settings_key" || pass "/REMOVESETTINGS removed the settings key"

echo "== an update over running copies: only those from the folder end, Varnel starts again; then /NOTASK"
fresh_prefix update
run_and_settle 'C:\setup.exe' /S || fail "setup /S exited with $?"
cp "$library" "$program_dir/InpOut32.dll"
mkdir -p "$WINEPREFIX/drive_c/elsewhere"
cp "$program_dir/varnel.exe" "$library" "$WINEPREFIX/drive_c/elsewhere/"
printf 'stale' >"$program_dir/README.txt"
start_varnel elsewhere 'C:\elsewhere\varnel.exe'
elsewhere_pid=$varnel_pid
start_varnel update
(cd "$work" && exec timeout 120 wine 'C:\Program Files\Varnel\varnel-monitor.exe' >"$work/update-monitor.out" 2>&1) &
monitor_pid=$!
for _ in $(seq 300); do  # its first line: it has the port and runs
  [ -s "$work/update-monitor.out" ] && break
  sleep 0.1
done
timeout 120 wine 'C:\setup.exe' /S || fail "the update exited with $?"
varnel_rc=0
wait "$varnel_pid" || varnel_rc=$?
[ "$varnel_rc" != 124 ] && pass "setup stopped the running Varnel before replacing it" || fail "setup left Varnel running"
monitor_rc=0
wait "$monitor_pid" || monitor_rc=$?
[ "$monitor_rc" != 124 ] && pass "and the running receiver monitor" || fail "setup left the receiver monitor running"
# Still running, never asked to close: its icon was never taken away.
kill -0 "$elsewhere_pid" 2>/dev/null && ! grep -q 'NOTIFY op=DELETE' "$work/elsewhere-sim.log" \
  && pass "a Varnel running from another folder is left alone" || fail "setup ended the Varnel in C:\\elsewhere"
[ "$(iconv -f UTF-16 -t UTF-8 "$program_dir/setup.log" | grep -cF " of $session_user in session ")" = 2 ] \
  && in_log "Closed varnel.exe (process " "Started Varnel for $session_user through the log-on task." \
  && pass "the log names the two copies ended, with user and session; Varnel started again through the log-on task" \
  || fail "setup.log on what was stopped and started"
[ "$(head -c5 "$program_dir/README.txt")" != stale ] && pass "update replaced the files" || fail "update kept the old README.txt"
[ -f "$program_dir/InpOut32.dll" ] && pass "and kept the InpOut32.dll in the folder it made" || fail "update removed InpOut32.dll"
timeout 60 wine taskkill /IM varnel.exe >/dev/null 2>&1 || true
wait "$elsewhere_pid" || true
run_and_settle 'C:\setup.exe' /S /NOTASK || fail "setup /S /NOTASK exited with $?"
[ ! -e "$task_file" ] && pass "/NOTASK removes the earlier install's log-on task" || fail "/NOTASK kept the log-on task"

# Wine's XML reader takes a bare "&" that Windows' rejects, so the folder's
# name holds an entity's text: unescaped, the task would name another folder.
echo "== new folders of one's own, names with &, ' and an entity's text, a right not grantable"
fresh_prefix own-folder
own='C:\R&amp;D & Co'"'"'s\Varnel'
own_parent='C:\R&amp;D & Co'"'"'s'
own_unix="$WINEPREFIX/drive_c/R&amp;D & Co's/Varnel"
named="WORKSHOP\\Anne o'Brien & co"
rc=0
setup_run 'C:\setup.exe' /S "/USER=\"$named\"" /CLOCKRIGHT "/D=$own" || rc=$?
[ -f "$own_unix/varnel.exe" ] && pass "installed into $own" || fail "nothing in $own"
[ "$(task_description)" = "Starts $own\varnel.exe when $named logs on, so that it keeps the clock right from the MSF time signal." ] \
  && pass "the task XML takes & and ' in the folder and the name (/USER=): registered for $named" \
  || fail "task for $named in $own: '$(task_description)'"
[ "$rc" = 4 ] && pass "an account Windows does not know gets no right: exit code 4" || fail "setup exited with $rc, not 4"
reg_key_exists "$clock_right_key" && fail "a right that was not granted is recorded"
locked "$own" && locked "$own_parent" && pass "$own and the folder setup made above it grant Everyone nothing" \
  || fail "$own: $(sddl_of "$own"), above: $(sddl_of "$own_parent")"
program_dir=$own_unix
in_log "Made $own_parent with its permissions" "Checked $own_parent: owned by" "Made $own with its permissions" \
       "Checked $own: owned by" && pass "setup made each missing folder with its permissions and read them back, from the top" \
  || fail "setup.log: the folders made and checked"

echo "== folders setup refuses, each left as it was: exit code 2"
drive=$WINEPREFIX/drive_c
mkdir -p "$drive/Tools" "$drive/users/Public/mine" "$drive/Mine" "$drive/Open" "$drive/Theirs" "$drive/Taken"
touch "$drive/Tools/other.exe"
ln -s "$drive/users/Public/mine" "$drive/Varnel"  # Wine shows a symbolic link as a reparse point
ln -s "$drive/users/Public/mine" "$drive/Linked"
chmod 777 "$drive/Open"  # Everyone may delete and rename what it holds
chown 65534 "$drive/Theirs" "$drive/Taken"  # made by someone else
timeout 30 wine reg add "$uninst_key" /v InstallLocation /d 'C:\Taken' /f >/dev/null
while IFS='|' read -r folder why reason; do
  find "$drive/users" -name varnel-setup.log -delete
  touch "$work/before-refusal"
  rc=0
  setup_run 'C:\setup.exe' /S "/D=$folder" || rc=$?
  made=$(find "$drive" -name varnel.exe -newer "$work/before-refusal")
  said=$(find "$drive/users" -name varnel-setup.log -exec iconv -f UTF-16 -t UTF-8 {} \; | tr -d '\r' | tail -n1)
  [ "$rc" = 2 ] && [ -z "$made" ] && [[ "$said" == *"$reason"* ]] && pass "refused: $why ($said)" \
    || fail "$folder, $why: exit $rc $made, log '$said'"
done <<'EOF'
C:\Tools|a folder of other programs|C:\Tools holds other.exe, which is not Varnel's.
C:\Mine|an existing folder that is not Varnel's|C:\Mine exists already and is not the folder of
C:\Varnel|a link to a folder of a user's|C:\Varnel is a link to another place
C:\Linked\Varnel|a link on the path|C:\Linked is a link to another place
C:\Open\Varnel|under a folder every user may delete or rename in|C:\Open lets Everyone delete or rename it
C:\Theirs\Varnel|under a folder another user owns|C:\Theirs is owned by
C:\Taken|Varnel's recorded folder, owned by another user|C:\Taken is owned by
EOF
[ -z "$(find "$drive/Open" "$drive/Theirs" "$drive/users/Public/mine" -mindepth 1)" ] && ! locked 'C:\Tools' \
  || fail "a refused folder was changed"

echo "== a log-on task that cannot be registered, and no user to make it for"
fresh_prefix no-task
mkdir -p "$task_file"  # a folder where the task's file goes: the registration fails
rc=0
setup_run 'C:\setup.exe' /S || rc=$?
[ "$rc" = 3 ] && pass "a failed registration: exit code 3" || fail "a failed registration: setup exited with $rc"
[ -f "$program_dir/varnel.exe" ] && pass "and Varnel is installed" || fail "and nothing was installed"
rmdir "$task_file"
rc=0
setup_run 'C:\setup.exe' /S /USER= || rc=$?
[ "$rc" = 3 ] && [ ! -e "$task_file" ] && pass "no user known (/USER= empty, as for SYSTEM outside a session): no task, exit code 3" \
  || fail "no user known: setup exited with $rc, task file $( [ -e "$task_file" ] && echo present || echo absent)"
rc=0
setup_run 'C:\setup.exe' /S '/USER="WORKSHOP\nobody"' || rc=$?
[ "$rc" = 5 ] && in_log 'WORKSHOP\nobody cannot change the system time: ' \
  && pass "a user who cannot change the system time, no /CLOCKRIGHT: exit code 5, the reason in setup.log" \
  || fail "a user without the right: setup exited with $rc"

echo "== the wizards by hand (pictures in $work/screens)"
fresh_prefix by-hand
cp "$driver" "$WINEPREFIX/drive_c/driver.exe"
rm -rf "$work/screens"
mkdir -p "$work/screens"
screens_win='C:\screens'
ln -s "$work/screens" "$WINEPREFIX/drive_c/screens"
timeout 90 wine reg add "$settings_key" /v BitNumber /t REG_BINARY /d 04 /f >/dev/null

log=$(timeout 180 wine 'C:\driver.exe' "Varnel $version Setup" "$screens_win\\install" no 'C:\setup.exe' | tr -d '\r') \
  || fail "the installer's wizard did not run to its end"
timeout 60 wineserver -w || true
echo "$log" | sed 's/^/  /'
grep -q '^page 6:.*Completing Varnel Setup' <<<"$log" \
  && pass "six pages, welcome to finish" || fail "the wizard did not run welcome, licence, components, folder, progress, finish"
grep -q '^page 3:.*Start Varnel at log-on\|^page 3:.*Choose Components' <<<"$log" || fail "no components page third"
grep '^box 1: Varnel needs InpOut32.dll.*even with a receiver on a serial port' <<<"$log" | grep -qF 'C:\Program Files\Varnel' \
  && pass "missing InpOut32.dll is reported with the folder it goes in" || fail "no plain InpOut32.dll message"
grep -q '^checkbox run: unchecked disabled' <<<"$log" \
  && pass "'Start Varnel now' is off while InpOut32.dll is missing" || fail "'Start Varnel now' offered without InpOut32.dll"
[ -f "$program_dir/varnel.exe" ] || fail "the wizard did not install varnel.exe"

log=$(timeout 180 wine 'C:\driver.exe' "Varnel $version Uninstall" "$screens_win\\uninstall" yes \
      'C:\Program Files\Varnel\uninstall.exe' | tr -d '\r') || fail "the uninstaller's wizard did not run to its end"
timeout 60 wineserver -w || true
echo "$log" | sed 's/^/  /'
grep -q '^box 1: Also remove your Varnel settings' <<<"$log" \
  && pass "the uninstaller asks about the settings" || fail "no question about the settings"
reg_key_exists "$settings_key" && fail "answering Yes kept the settings key"
[ ! -e "$program_dir" ] || fail "the uninstaller's wizard left $(ls "$program_dir")"

cp "$library" "$WINEPREFIX/drive_c/windows/system32/InpOut32.dll"
# Into a file: a program the wizard starts must not hold the test's pipe open.
timeout 180 wine 'C:\driver.exe' "Varnel $version Setup" "$screens_win\\no-right" no 'C:\setup.exe' \
  '/USER="WORKSHOP\nobody"' >"$work/no-right.out" || fail "the wizard for another user did not run to its end"
log=$(tr -d '\r' <"$work/no-right.out")
timeout 60 wineserver -w || true
echo "$log" | sed 's/^/  /'
grep -q '^page 6:.*Varnel is installed, but WORKSHOP.nobody cannot change the system time' <<<"$log" \
  && pass "the finish page says plainly when the user cannot change the system time" || fail "no word of the clock right"
grep -q '^checkbox run: checked enabled' <<<"$log" && in_log 'Started Varnel for WORKSHOP\nobody through the log-on task.' \
  && pass "'Start Varnel now' runs the log-on task, for the user it is for" || fail "'Start Varnel now' did not run the log-on task"

for bmp in "$work"/screens/*.bmp; do
  [ -e "$bmp" ] || continue
  /usr/bin/convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
pictures=$(ls "$work"/screens/*.png 2>/dev/null | wc -l)
[ "$pictures" -ge 9 ] && pass "$pictures pictures of pages and boxes" || fail "only $pictures pictures"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all installer checks passed"
