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

# Waits up to WINDOW_WAIT seconds (default 30) for a window that xdotool
# search finds with the options given (the last one a name), and prints its
# id. The search is repeated rather than left to xdotool's own --sync: a
# window that closes while xdotool walks the tree (a splash screen, a dialog)
# ends that search at once with an X error and nothing found.
find_window() {
  local id _
  for _ in $(seq $((${WINDOW_WAIT:-30} * 5))); do
    id=$(xdotool search "$@" 2>/dev/null | head -n 1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}

start_xvfb() {
  exec 5> "$work/display"
  Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2; return 1; }
  export DISPLAY=":$(cat "$work/display")"
}
