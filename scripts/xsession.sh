# Sourced by scripts that run the program under a private X server: a work
# folder removed at exit, the processes started there ended at exit, and
# start_xvfb, which starts Xvfb on a free display and exports DISPLAY.
work=$(mktemp -d)
pids=()
end_session() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap end_session EXIT

start_xvfb() {
  exec 5> "$work/display"
  Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2; return 1; }
  export DISPLAY=":$(cat "$work/display")"
}
