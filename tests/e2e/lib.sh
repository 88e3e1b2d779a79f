# Shared by the end-to-end scripts. stack_up and in_xvfb run before their Xvfb session, the rest inside it.

# stack_up BIN OUT: sets $bin, $out and $root; a scratch data directory and stack state in $work (the
# debug log in $log), the stack started on its fixed ports, and both gone again when the script
# exits, the stack's logs copied to $out.
stack_up() {
  bin=$1 out=$2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  stop_orphaned_stacks
  work=$(mktemp -d -t pelomir-e2e.XXXXXX)
  echo $$ >"$work/owner"
  export XDG_DATA_HOME=$work/data PELOMIR_STACK_DIR=$work/stack PELOMIR_BIN_DIR=$bin
  log=$XDG_DATA_HOME/pelomir/log/debug.log
  mkdir -p "$XDG_DATA_HOME/pelomir/log" "$PELOMIR_STACK_DIR" "$out"
  : >"$log"
  trap 'cp "$PELOMIR_STACK_DIR"/*.log "$out/" 2>/dev/null || true
        "$root/scripts/stack" stop >/dev/null 2>&1 || true
        rm -rf "$work"' EXIT
  "$root/scripts/stack" start
}

# stop_orphaned_stacks: a run killed from outside (a test time-out) never reaches its exit trap, and
# its stack would hold the fixed ports for every run after it. Stops the stack of each such run.
stop_orphaned_stacks() {
  local dir
  for dir in "${TMPDIR:-/tmp}"/pelomir-e2e.*; do
    [[ -f $dir/owner ]] || continue
    kill -0 "$(cat "$dir/owner")" 2>/dev/null && continue
    PELOMIR_STACK_DIR=$dir/stack "$root/scripts/stack" stop >/dev/null 2>&1 || true
    rm -rf "$dir"
  done
}

# in_xvfb NAME=VALUE... <<'SCRIPT': runs the script on standard input in a fresh Xvfb screen, with
# `set -euo pipefail`, this file loaded and the given variables (and $here) set. A random first
# display keeps parallel runs from starting their search for a free one at the same number.
in_xvfb() {
  { printf '%s\n' 'set -euo pipefail' 'source "$here/lib.sh"'; cat; } |
    env here="$here" "$@" xvfb-run -n $((100 + RANDOM % 30000)) -a -s "-screen 0 1440x900x24" bash -s
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

# start_client BIN LOG: runs the client (its pid in $pid, its window in $wid), waits until its window
# shows and its update check is answered, then gives the window the keyboard. Without a window
# manager nobody else does; the client then reports the login form's first field as focused.
start_client() {
  export QT_QPA_PLATFORM=xcb
  "$1/pelomir" &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
  wid=$(wait_for 30 xdotool search --onlyvisible --name 'Pelomir云手机' | head -n1)
  wait_for 30 grep -q 'check-forupdates' "$2"
  xdotool windowfocus --sync "$wid"
  wait_for 10 grep -q 'focus: edt' "$2"
}

# focused NAME: the client's latest report of where the keyboard is names NAME.
focused() { [[ $(grep -o 'focus: [^[:space:]]*' "$log" | tail -n1) == "focus: $1" ]]; }

# focus_field NAME X Y: clicks the widget at X,Y until the client reports the keyboard on it.
focus_field() {
  for _ in 1 2 3; do
    focused "$1" && return 0
    click "$2" "$3"
    wait_for 5 focused "$1" 2>/dev/null && return 0
  done
  echo "the keyboard never reached $1" >&2
  return 1
}

# clipboard_is TEXT: the clipboard holds TEXT.
clipboard_is() { [[ $(xclip -selection clipboard -o 2>/dev/null) == "$1" ]]; }

# field_text: the focused line edit's whole text, copied through the clipboard as a user would. A
# marker owns the clipboard first (checked, not assumed), so the copy is seen when it replaces it.
field_text() {
  local marker=$'\001' owner rc=0
  printf '%s' "$marker" | xclip -selection clipboard -i -quiet >/dev/null 2>&1 &
  owner=$!
  wait_for 10 clipboard_is "$marker" || rc=1
  if ((rc == 0)); then
    xdotool key ctrl+a ctrl+c
    wait_for 10 eval '! clipboard_is "$marker"' || rc=1
  fi
  kill "$owner" 2>/dev/null || true
  ((rc == 0)) && xclip -selection clipboard -o
}

# type_field NAME X Y TEXT: replaces the text of the line edit NAME at X,Y with TEXT and reads it back,
# retyping what did not take.
type_field() {
  for _ in 1 2 3; do
    focus_field "$1" "$2" "$3"
    xdotool key ctrl+a BackSpace
    xdotool type --delay 20 "$4"
    [[ $(field_text) == "$4" ]] && return 0
  done
  echo "$1 never held '$4'" >&2
  return 1
}

# login_as LOG PHONE PASSWORD: logs in through the form and waits until the client has the account.
# A password field cannot be read back, so a refused login is typed again, a bounded number of times.
login_as() {
  local refused
  for _ in 1 2 3; do
    type_field edtAccount 1029 396 "$2"
    focus_field edtPassword 1029 436
    xdotool key ctrl+a BackSpace
    xdotool type --delay 20 "$3"
    "$bin/pelomir-grab" "$out/login-typed.png"
    refused=$(grep -c 'login return false' "$1" || true)
    xdotool key Return
    wait_for 30 bash -c "grep -q '^.*login:' '$1' || [[ \$(grep -c 'login return false' '$1') -gt $refused ]]"
    grep -q '^.*login:' "$1" && return 0
    # The refusal's notice sits over the form until confirmed; then the form needs the keyboard back.
    wait_for 10 grep -q 'window shown: ZqDialogForm' "$1"
    local hidden
    hidden=$(grep -c 'window hidden: ZqDialogForm' "$1" || true)
    click 641 443
    wait_for 10 seen $((hidden + 1)) 'window hidden: ZqDialogForm'
    xdotool windowfocus --sync "$wid"
  done
  echo "login as $2 refused" >&2
  return 1
}

# login_demo LOG: logs in with the demo account and waits for its 24 phones.
login_demo() {
  login_as "$1" 13800000000 pelomir2026
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
  # The grid has laid out every tile: the first tiles are where tile_centre says.
  wait_for 30 seen 1 'tile grid: 24 tiles'
}

# click X Y: a left click at a point of the screen.
click() { xdotool mousemove "$1" "$2" click 1; }
# tile_centre K: "X Y", the screen centre of the K-th tile (1 to 10) in the client's latest layout.
tile_centre() {
  local at
  at=$(grep -o 'tile grid: [1-9][0-9]* tiles, centres.*' "$log" | tail -n1 | grep -o '([0-9-]*, [0-9-]*)' |
    sed -n "${1}p" | tr -d '(),')
  [[ -n $at ]] || { echo "no tile $1 in the client's layout" >&2; return 1; }
  echo "$at"
}
# shown_count CLASS: how many times the client has shown a top-level window of CLASS so far.
shown_count() { grep -c "window shown: $1" "$log" || true; }
# click_for CLASS X Y: clicks X,Y and waits until the client shows a new top-level window of CLASS
# (a menu, a dialog, a control window).
click_for() {
  local before
  before=$(shown_count "$1")
  click "$2" "$3"
  wait_for 10 seen $((before + 1)) "window shown: $1"
}
# key_closing CLASS KEY: presses KEY and waits until a window of CLASS has hidden again.
key_closing() {
  local before
  before=$(grep -c "window hidden: $1" "$log" || true)
  xdotool key "$2"
  wait_for 10 seen $((before + 1)) "window hidden: $1"
}
# seen N TEXT: the debug log holds at least N lines with TEXT.
seen() { [[ $(grep -c -- "$2" "$log") -ge $1 ]]; }
# shot NAME: the screen as $out/<script>-NAME.png.
shot() { "$bin/pelomir-grab" "$out/$script-$1.png"; }
# shell DEVICE COMMAND: runs a shell command on a farm phone and prints its output.
shell() { "$bin/pelomir-phoneshell" "$@"; }
