# Sourced by the scripts that run windows on a virtual X server.
#
# xvfb_start: starts Xvfb on the first free display from :99, exports
# DISPLAY, and stops the server when the script exits.
# xvfb_window TITLE: waits (up to 10 s) for a visible window whose name
# matches TITLE and prints its id.

xvfb_start() {
  local number=99
  while [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]]; do number=$((number + 1)); done
  Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    [[ -S /tmp/.X11-unix/X$number ]] && break
    sleep 0.1
  done
  export DISPLAY=":$number"
}

xvfb_window() {
  timeout 10 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -1
}
