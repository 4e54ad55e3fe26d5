#!/usr/bin/env bash
# varneld in direct mode, only ever on the simulated tty, which records each
# clock setting instead of making it: refused without CAP_SYS_TIME; with it,
# the clock is set at each good minute, to the signal's time (3 ms ahead of
# this computer's clock, 40 ms of receiver delay told by --delay) within 1 ms.
# Also the start-up failures' exit statuses.
# Usage: direct_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
dir=$build/tests/linux/direct
source "$(dirname "$0")/../../scripts/chrony-sim.sh"
trap stop_chrony_sim EXIT
rm -rf "$dir"
mkdir -p "$dir"
varneld=$build/daemon/varneld
sim=$build/tools/ttysim/libttysim.so

# exit status and message of one start that must fail at once
expect_exit() {
  local want=$1 text=$2
  shift 2
  local status=0
  LD_PRELOAD=$sim VARNEL_SIM_LOG=$dir/refused.log timeout 10 "$@" 2>"$dir/refused.err" || status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$dir/refused.err"; then
    echo "FAIL: $* exited $status (want $want, \"$text\"):"
    cat "$dir/refused.err"
    exit 1
  fi
}
expect_exit 4 "needs CAP_SYS_TIME" capsh --drop=cap_sys_time -- -c \
  "exec $varneld --config /dev/null --port /dev/ttyMSF0 --mode direct"
expect_exit 2 "--bit must be 0 to 7" "$varneld" --config /dev/null --bit 9
expect_exit 2 "line 1: unknown setting Speed" "$varneld" --config <(echo "Speed = 9600")
expect_exit 1 "cannot open /dev/ttyVARNELNONE" "$varneld" --config /dev/null --port /dev/ttyVARNELNONE
[ ! -s "$dir/refused.log" ] || { echo "FAIL: a refused start set the clock"; exit 1; }

export VARNEL_SIM_OFFSET=0.003 VARNEL_SIM_DELAY_MS=40 VARNEL_SIM_LEVEL=0 VARNEL_SIM_LINE=cts
wait_for_early_second 1 12
start_simulated_varneld "$build" "$dir" --mode direct --bit 4 --delay 40 --utc
deadline=$(( $(date +%s) + 270 ))
while [ "$(date +%s)" -lt "$deadline" ] && [ "$(grep -c '^CLOCK' "$dir/sim.log")" -lt 4 ]; do
  sleep 2
  kill -0 "$varneld_pid" 2>/dev/null || { echo "varneld ended:"; cat "$dir/varneld.err"; exit 1; }
done
stop_chrony_sim
echo "varneld's status lines:"
cat "$dir/varneld.err"
echo "clock settings recorded:"
grep "^CLOCK" "$dir/sim.log" || true
settings=$(grep -c '^CLOCK' "$dir/sim.log" || true)
[ "$settings" -ge 4 ] || { echo "FAIL: $settings clock settings, not two good minutes' (SetClockTwice)"; exit 1; }
grep -q '^MSF status: good\. .* (UTC)$' "$dir/varneld.err" || { echo "FAIL: no good status"; exit 1; }
# error_ns: the setting minus the signal's time at the moment of the call
awk '/^CLOCK/ { for (i = 1; i <= NF; i++) if ($i ~ /^error_ns=/) { e = substr($i, 10); if (e < 0) e = -e; if (e > 1000000) bad++ } }
     END { exit bad > 0 }' "$dir/sim.log" || { echo "FAIL: a setting more than 1 ms from the signal's time"; exit 1; }
echo "PASS"
