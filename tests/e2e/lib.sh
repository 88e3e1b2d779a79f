# Shared by the end-to-end scripts; sourced inside their Xvfb session.

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  echo "timed out waiting for: $*" >&2
  return 1
}

# start_client BIN LOG: runs the client (its pid in $pid, its window in $wid) and waits until it has
# started up.
start_client() {
  export QT_QPA_PLATFORM=xcb
  "$1/pelomir" &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
  wid=$(wait_for 30 xdotool search --name 'Pelomir云手机' | head -n1)
  wait_for 30 grep -q 'check-forupdates' "$2"
}

# login_demo LOG: logs in with the demo account through the login form and waits for its 24 phones.
# The 1280x800 window sits at the origin without a window manager, which also means nobody gives it
# the keyboard focus: do that by hand. The form is centred on the right.
login_demo() {
  xdotool windowfocus --sync "$wid"
  xdotool mousemove 1029 396 click 1
  xdotool type --delay 20 13800000000
  xdotool mousemove 1029 436 click 1
  xdotool type --delay 20 pelomir2026
  "$bin/pelomir-grab" "$out/login-typed.png"
  xdotool key Return
  wait_for 30 grep -q '^.*login:' "$1"
  wait_for 30 grep -q 'rebuildTree, phones: 24' "$1"
}
