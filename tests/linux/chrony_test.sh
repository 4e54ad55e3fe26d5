#!/usr/bin/env bash
# varneld beside the real chronyd: the simulated tty's signal runs 2.5 ms ahead
# of this computer's clock; chronyd (-x, in its own network namespace) must
# select the MSF source within three minutes of varneld's first good status,
# and find the clock that far behind. A stand-in for systemd's notification
# socket must hear READY=1 and each status line.
# Usage: chrony_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
dir=$build/tests/linux/chrony
source "$(dirname "$0")/../../scripts/chrony-sim.sh"
trap stop_chrony_sim EXIT
rm -rf "$dir"
start_private_chronyd "$dir"

# systemd's side of sd_notify: a datagram socket whose messages land in a file.
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "w") as out:
    while True:
        out.write(s.recv(4096).decode() + "\n---\n")
        out.flush()
' "$dir/notify.sock" "$dir/notify.log" &
notify_pid=$!
trap 'kill $notify_pid 2>/dev/null || true; stop_chrony_sim' EXIT
for _ in $(seq 50); do [ -S "$dir/notify.sock" ] && break; sleep 0.1; done

export VARNEL_SIM_OFFSET=0.0025 VARNEL_SIM_SEED=19
wait_for_early_second 1 12
export NOTIFY_SOCKET=$dir/notify.sock
start_simulated_varneld "$build" "$dir" --mode chrony --socket "$dir/msf.sock"
unset NOTIFY_SOCKET

good_at= selected=
deadline=$(( $(date +%s) + 330 ))
while [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 2
  kill -0 "$varneld_pid" 2>/dev/null || { echo "varneld ended:"; cat "$dir/varneld.err"; exit 1; }
  if [ -z "$good_at" ] && grep -q '^MSF status: good\. ' "$dir/varneld.err"; then
    good_at=$(date +%s)
    deadline=$(( good_at + 180 ))
  fi
  if chronyc_private "$dir" -c sources | grep -q '^#,\*,MSF,'; then
    selected=$(date +%s)
    break
  fi
done
echo "varneld's status lines:"
cat "$dir/varneld.err"
chronyc_private "$dir" sources
chronyc_private "$dir" tracking
[ -n "$good_at" ] || { echo "FAIL: varneld never reported a good minute"; exit 1; }
[ -n "$selected" ] || { echo "FAIL: chronyd did not select MSF within 3 minutes of the first good minute"; exit 1; }
echo "MSF selected $(( selected - good_at )) s after varneld's first good minute"

# chronyd's view of the clock against the signal: "System time : X seconds
# slow of NTP time" must be the simulator's 2.5 ms, within 0.5 ms.
offset=$(chronyc_private "$dir" -c tracking | cut -d, -f5)
echo "chronyd: the clock is ${offset} s behind MSF (the truth: 0.0025 s)"
awk -v o="$offset" 'BEGIN { d = o - 0.0025; if (d < 0) d = -d; exit !(d <= 0.0005) }' ||
  { echo "FAIL: chronyd's offset is not within 0.5 ms of the truth"; exit 1; }
grep -q '^CLOCK' "$dir/sim.log" && { echo "FAIL: chrony mode tried to set the clock"; exit 1; }
# systemd heard READY=1 and every status line, in the words of standard error
# (compared once varneld has ended, so that no line is on its way).
stop_chrony_sim
sleep 0.5
grep -qx 'READY=1' "$dir/notify.log" || { echo "FAIL: no READY=1 for systemd"; exit 1; }
diff <(sed -n 's/^STATUS=//p' "$dir/notify.log") "$dir/varneld.err" ||
  { echo "FAIL: systemd's STATUS= lines differ from standard error's"; exit 1; }
echo "PASS"
