# A private X server for Wine runs, sourced by the run command, the evidence run
# and the Wine tests. Each caller ends its own server with stop_xvfb.

# start_xvfb DIR: starts Xvfb on a free display (its number lands in DIR/display),
# sets xvfb_pid and exports DISPLAY; fails when no display appears within 10 s.
start_xvfb() {
  rm -f "$1/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  if [ ! -s "$1/display" ]; then
    echo "Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":$(head -n1 "$1/display")"
}

# stop_xvfb: ends the server start_xvfb started, if any.
stop_xvfb() {
  if [ -n "${xvfb_pid:-}" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
}
