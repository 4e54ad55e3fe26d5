# varneld on its simulated tty beside a private chronyd, sourced by the run
# command (--linux), varneld's tests and its benchmark. Nothing here can move
# the clock: chronyd runs as `chronyd -x` (no control of the clock) in a
# network namespace of its own, with every file it writes in the caller's
# folder; varneld runs with the simulated tty (tools/ttysim), which records
# any clock setting instead of making it. Each caller ends what it started
# with stop_chrony_sim.

# start_private_chronyd DIR [EXTRA CONFIG LINE...]: chronyd with
# `refclock SOCK DIR/msf.sock refid MSF` and its command socket DIR/chronyd.sock;
# sets chronyd_pid. DIR is made private (chronyd insists on it).
start_private_chronyd() {
  local dir=$1
  shift
  mkdir -p "$dir"
  chmod 700 "$dir"
  rm -f "$dir/msf.sock" "$dir/chronyd.sock" "$dir/chronyd.pid"
  {
    echo "refclock SOCK $dir/msf.sock refid MSF"
    echo "pidfile $dir/chronyd.pid"
    echo "driftfile $dir/chronyd.drift"
    echo "bindcmdaddress $dir/chronyd.sock"
    echo "cmdport 0"
    echo "port 0"
    echo "user root"
    for line in "$@"; do echo "$line"; done
  } >"$dir/chronyd.conf"
  unshare --net chronyd -x -d -f "$dir/chronyd.conf" >"$dir/chronyd.log" 2>&1 &
  chronyd_pid=$!
  for _ in $(seq 100); do [ -S "$dir/msf.sock" ] && [ -S "$dir/chronyd.sock" ] && return 0; sleep 0.1; done
  echo "chronyd did not start; its log:" >&2
  cat "$dir/chronyd.log" >&2
  return 1
}

# chronyc_private DIR ARGS...: chronyc on that chronyd's command socket.
chronyc_private() {
  local dir=$1
  shift
  chronyc -h "$dir/chronyd.sock" "$@"
}

# wait_for_early_second FIRST LAST: until the clock's second is FIRST..LAST, so
# that varneld starts early in a minute and its second minute confirms.
wait_for_early_second() {
  while :; do
    local s
    s=$(date +%S)
    s=$((10#$s))
    [ "$s" -ge "$1" ] && [ "$s" -le "$2" ] && return 0
    sleep 0.5
  done
}

# start_simulated_varneld BUILD DIR VARNELD-ARGS...: varneld on the simulated
# tty /dev/ttyMSF0 (DCD, bit 7), its status lines in DIR/varneld.err, the
# simulator's records in DIR/sim.log; VARNEL_SIM_* pass through. Sets varneld_pid.
start_simulated_varneld() {
  local build=$1 dir=$2
  shift 2
  : >"$dir/varneld.err"
  : >"$dir/sim.log"
  VARNEL_SIM_LOG="$dir/sim.log" LD_PRELOAD="$build/tools/ttysim/libttysim.so" \
    "$build/daemon/varneld" --config /dev/null --port /dev/ttyMSF0 --bit 7 "$@" \
    2>"$dir/varneld.err" &
  varneld_pid=$!
}

# stop_chrony_sim: ends the varneld and chronyd started above, by their pids.
stop_chrony_sim() {
  if [ -n "${varneld_pid:-}" ]; then
    kill "$varneld_pid" 2>/dev/null || true
    wait "$varneld_pid" 2>/dev/null || true
    varneld_pid=
  fi
  if [ -n "${chronyd_pid:-}" ]; then
    kill "$chronyd_pid" 2>/dev/null || true
    wait "$chronyd_pid" 2>/dev/null || true
    chronyd_pid=
  fi
}
