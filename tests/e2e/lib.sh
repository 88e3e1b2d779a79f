# Shared by the end-to-end scripts. stack_up and in_xvfb run before their Xvfb session, the rest inside it.

# stack_up BIN OUT: sets $bin, $out and $root; a scratch data directory and stack state in $work (the
# debug log in $log), the stack started on its fixed ports, and both gone again when the script
# exits, the stack's logs copied to $out.
stack_up() {
  bin=$1 out=$2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  work=$(mktemp -d)
  export XDG_DATA_HOME=$work/data PELOMIR_STACK_DIR=$work/stack PELOMIR_BIN_DIR=$bin
  log=$XDG_DATA_HOME/pelomir/log/debug.log
  mkdir -p "$XDG_DATA_HOME/pelomir/log" "$PELOMIR_STACK_DIR" "$out"
  : >"$log"
  trap 'cp "$PELOMIR_STACK_DIR"/*.log "$out/" 2>/dev/null || true
        "$root/scripts/stack" stop >/dev/null 2>&1 || true
        rm -rf "$work"' EXIT
  "$root/scripts/stack" start
}

# in_xvfb NAME=VALUE... <<'SCRIPT': runs the script on standard input in a fresh Xvfb screen, with
# `set -euo pipefail`, this file loaded and the given variables (and $here) set.
in_xvfb() {
  { printf '%s\n' 'set -euo pipefail' 'source "$here/lib.sh"'; cat; } |
    env here="$here" "$@" xvfb-run -a -s "-screen 0 1440x900x24" bash -s
}

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

# client_up NAME: starts the client, logs in with the demo account and waits until the 22 phones it
# may operate (login ticks every phone; two shared ones are view-only) are registered. The helpers
# below name their files after NAME; at exit the client is killed and its debug log kept in $out.
client_up() {
  script=$1
  start_client "$bin" "$log"
  trap 'kill $pid 2>/dev/null || true; cp "$log" "$out/$script-debug.log"' EXIT
  login_demo "$log"
  wait_for 30 seen 22 'sdkManager.addPhone'
}

# click X Y: a left click at a point of the screen.
click() { xdotool mousemove "$1" "$2" click 1; }
# seen N TEXT: the debug log holds at least N lines with TEXT.
seen() { [[ $(grep -c -- "$2" "$log") -ge $1 ]]; }
# shot NAME: the screen as $out/<script>-NAME.png.
shot() { "$bin/pelomir-grab" "$out/$script-$1.png"; }
# shell DEVICE COMMAND: runs a shell command on a farm phone and prints its output.
shell() { "$bin/pelomir-phoneshell" "$@"; }
