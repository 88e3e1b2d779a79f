#!/usr/bin/env bash
# Recorded macros through the real client under Xvfb against the stack on its compiled-in ports: a
# click on a tile opens a control window, its record button records a tap on the notes icon and
# typed text, and the toolbar's batch menu replays the recording on the ticked phones with a
# stagger. Every ticked phone whose launcher has the notes icon in the same place must then show
# the notes app with the text, and the farm's log must show the replays starting in order, each at
# least the stagger after the one before. Screenshots of the dialog during and after the replay
# land in the output directory (macro-*.png).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" stack="$PELOMIR_STACK_DIR" farmlog="$PELOMIR_STACK_DIR/farm.log" <<'SCRIPT'
# notes_icon ID: "x1,y1,x2,y2" of the notes icon on the phone's launcher.
notes_icon() {
  shell "$1" 'uiautomator dump' |
    grep -o 'content-desc="com.pmapps.notes" bounds="\[[0-9]*,[0-9]*\]\[[0-9]*,[0-9]*\]"' |
    grep -o '[0-9]\+' | paste -sd,
}
# notes_slot ID: N for the notes icon as the N-th icon on the phone's launcher. Launchers of up to 20
# apps have four columns, so that places it at the same share of the screen on phones of every size.
notes_slot() {
  shell "$1" 'uiautomator dump' | grep -o 'package="com.pmapps.launcher" text="[^"]*" content-desc="[^"]*"' |
    grep -n 'content-desc="com.pmapps.notes"' | cut -d: -f1
}
# shows ID TEXT: the notes app is in front and its field holds TEXT.
shows() { shell "$1" 'uiautomator dump' | grep -qF "package=\"com.pmapps.notes\" text=\"$2\""; }
typed='macro e2e'
stagger=300

client_up macro

# The first tile opens its phone's window; moved beside the main window.
click_for ZqPhoneForm $(tile_centre 1)
mwid=$(wait_for 30 xdotool search --onlyvisible --name '^PM[0-9A-F]+$' | head -n1)
master=$(xdotool getwindowname "$mwid")
xdotool windowmove --sync "$mwid" 1000 0
wait_for 30 grep -q -- '----------------------------------' "$log"
IFS=, read -r x1 y1 x2 y2 <<<"$(notes_icon "$master")"
master_slot=$(notes_slot "$master")
IFS=x read -r width height <<<"$(shell "$master" 'wm size' | sed -n 's/^Physical size: //p')"

# Record: the side bar's record button, a tap on the notes icon (the display shows the phone's
# screen 360x640 below the 33-pixel title bar, whatever its size), typed text, the button again.
click 1374 443
wait_for 10 grep -q 'macro recording started' "$log"
shot recording
click $((1000 + (x1 + x2) * 180 / width)) $((33 + (y1 + y2) * 320 / height))
wait_for 30 bash -c "'$bin/pelomir-phoneshell' '$master' 'uiautomator dump' | grep -q 'package=\"com.pmapps.notes\"'"
xdotool windowfocus --sync "$mwid"
wait_for 10 focused ZqPhoneWindow
xdotool type --delay 40 "$typed"
wait_for 30 shows "$master" "$typed"
click 1374 443
wait_for 10 grep -q 'macro saved: ".*pmacro"' "$log"
# The notice that the recording was saved, confirmed.
wait_for 10 grep -q 'window shown: ZqDialogForm' "$log"
hidden=$(grep -c 'window hidden: ZqDialogForm' "$log" || true)
click 641 443
wait_for 10 seen $((hidden + 1)) 'window hidden: ZqDialogForm'

# Where each phone's launcher has its notes icon, read before the replay opens the notes app, and
# how many of the phones of each size could show the replay.
declare -A slot
for id in $(sqlite3 "$stack/provider.db" "SELECT device_id FROM phones"); do
  slot[$id]=$(notes_slot "$id" || true)
done

# Replay from the toolbar's batch menu with a stagger between phones.
click_for QMenu 953 101
shot batch-menu
click_for MacroDlg 951 283
shot dialog
# The dialog sits at the centre of the 1280x800 main window: (320, 142).
type_field spbStagger 786 384 "$stagger"
begun=$(date +%s%3N)
click 741 630
wait_for 10 grep -q 'macro replay started' "$log"
sleep 2
shot replaying
wait_for 120 grep -q 'macro replay finished' "$log"
sleep 1
shot finished
! grep -q 'macro replay finished:.*"stopped": true' "$log"

# Every ticked phone that may be operated was replayed on. A phone whose credential has expired
# (the demo account holds one) refuses the login and every event; every other one whose notes icon
# sits where the master's does, at whatever size, shows what the master showed.
replayed=$(grep -o 'macro replay ended: "[^"]*" done' "$log" | cut -d'"' -f2 | sort -u)
refused=$(grep -o 'sync login failed, deviceId: "[^"]*"' "$log" | cut -d'"' -f2 | sort -u)
[[ $(wc -l <<<"$replayed") -ge 20 ]]
targets=()
declare -A sizes
for id in $replayed; do
  [[ $id == "$master" ]] && continue
  grep -qx "$id" <<<"$refused" && continue
  [[ ${slot[$id]:-} == "$master_slot" ]] || continue
  wait_for 30 shows "$id" "$typed"
  targets+=("$id")
  sizes[$(shell "$id" 'wm size' | sed -n 's/^Physical size: //p')]=1
done
echo "replayed with the text shown: ${targets[*]} (sizes: ${!sizes[*]})"
[[ ${#targets[@]} -ge 3 && ${#sizes[@]} -eq 3 ]]

# The farm's log: replays begin in cloudPhoneId order, each at least the stagger after the last.
logins=$(awk -v since="$begun" '$1 == "login" && $6 >= since { print $6 }' "$farmlog")
[[ $(wc -l <<<"$logins") -ge ${#targets[@]} ]]
awk -v gap="$stagger" 'NR > 1 && $1 - last < gap { bad = 1; print "only " $1 - last " ms apart" } { last = $1 }
     END { exit bad }' <<<"$logins"
kill -0 $pid
SCRIPT
echo "e2e macro: ok ($out/macro-*.png)"
