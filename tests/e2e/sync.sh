#!/usr/bin/env bash
# Synchronised operation through the real client under Xvfb against the stack on its compiled-in
# ports, whose farm mixes phones of 540x960, 720x1280 and 1080x1920. The toolbar's switch turns it
# on and a click on a tile opens a 720x1280 phone as the master; every check reads the phones back
# with "uiautomator dump":
# - text typed into the master's window appears in the notes field of every other ticked phone;
# - opening and closing another phone's window leaves mirroring running;
# - a tap on the settings icon in the master's window opens settings on targets of every size;
# - the switch turned off stops mirroring at once and leaves the master open: what is typed then
#   reaches no target, and switching on again with a new window makes a new master;
# - closing the master ends mirroring, and the next window opened is the master.
# Screenshots land in the output directory: sync-master.png, sync-target.png and sync-settings.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" <<'SCRIPT'
# shows ID TEXT: the phone's notes field holds TEXT.
shows() { shell "$1" 'uiautomator dump' | grep -qF "package=\"com.pmapps.notes\" text=\"$2\""; }
# front ID PACKAGE: PACKAGE is in front on the phone.
front() { shell "$1" 'uiautomator dump' | grep -q "<hierarchy[^>]*><node [^>]*package=\"$2\""; }
# size ID: the phone's own pixels, "WxH".
size() { shell "$1" 'wm size' | sed -n 's/^Physical size: //p'; }
# window ID: the shown control window of the phone.
window() { xdotool search --onlyvisible --name "^$1\$" | head -n1 | grep .; }
gone() { ! window "$1" >/dev/null; }
# close_window ID: clicks the close button at the right of the window's 32-pixel title bar.
close_window() {
  eval "$(xdotool getwindowgeometry --shell "$(window "$1")")"
  click $((X + WIDTH - 22)) $((Y + 16))
  wait_for 10 gone "$1"
}
# new_window SHOWN: a shown control window that is not among the window ids SHOWN.
new_window() {
  xdotool search --onlyvisible --name '^PM[0-9A-F]+$' | grep -vxF -f <(echo "$1") | head -n1 | grep .
}
# open_tile K: clicks the K-th tile of the client's layout and prints the device id of the window it
# opens.
open_tile() {
  local shown w
  shown=$(xdotool search --onlyvisible --name '^PM[0-9A-F]+$' || true)
  click $(tile_centre "$1")
  w=$(wait_for 10 new_window "$shown")
  xdotool getwindowname "$w"
}
# type_into ID TEXT: types into the phone's window once its picture streams and it has the keyboard.
type_into() {
  local streams
  streams=$(grep -c -- '----------------------------------' "$log" || true)
  ((streams > 0)) || wait_for 30 seen 1 '^.*----------------------------------'
  xdotool windowfocus --sync "$(window "$1")"
  wait_for 10 focused ZqPhoneWindow
  xdotool type --delay 30 "$2"
}
masters() { grep -c 'sync master:' "$log" || true; }
# master_is N ID: the N-th master of the run is the phone ID.
master_is() { [[ $(grep -o 'sync master: "[^"]*"' "$log" | sed -n "$1p" | cut -d'"' -f2) == "$2" ]]; }
typed='sync e2e'

client_up sync

# The second row of tiles (the sixth to the ninth) holds phones that may be operated. The first of
# them that is 720x1280 will be the master, and another one will open beside it; their windows open
# and close again.
tile= other=
for k in 6 7 8 9; do
  id=$(open_tile "$k")
  if [[ -z $tile && $(size "$id") == 720x1280 ]]; then
    tile=$k
  elif [[ -z $other ]]; then
    other=$k
  fi
  close_window "$id"
  [[ -n $tile && -n $other ]] && break
done
[[ -n $tile && -n $other ]]

# The toolbar's switch, then that tile: its phone's window is the master.
click 491 101
wait_for 10 grep -q 'sync operation: on' "$log"
master=$(open_tile "$tile")
wait_for 30 master_is 1 "$master"
wait_for 30 seen 21 '登录成功,开始同步:'
# A phone whose credential has expired (the demo account holds one) refuses the login and every
# event; it is no target that can show anything.
refused=$(grep -o 'sync login failed, deviceId: "[^"]*"' "$log" | cut -d'"' -f2 | sort -u)
targets=$(grep -o '开始同步: "[^"]*"' "$log" | cut -d'"' -f2 | sort -u | comm -23 - <(echo "$refused"))
[[ -n $targets ]]
for id in $master $targets; do
  shell "$id" 'am start -n com.pmapps.notes/.MainActivity' >/dev/null
done

# Type into the master's window; every target's field shows what the master's shows.
xdotool windowmove --sync "$(window "$master")" 1000 0
type_into "$master" "$typed"
wait_for 30 shows "$master" "$typed"
for id in $targets; do
  wait_for 30 shows "$id" "$typed"
done
"$bin/pelomir-grab" "$out/sync-master.png"

# Another phone's window is no master; closing it leaves mirroring running.
plain=$(open_tile "$other")
[[ $plain != "$master" && $(masters) -eq 1 ]]
wait_for 30 seen 2 '^.*----------------------------------'
"$bin/pelomir-grab" "$out/sync-target.png"
close_window "$plain"
type_into "$master" ' two'
for id in $master $targets; do
  wait_for 30 shows "$id" "$typed two"
done

# The master's home button, then a tap on its settings icon, shown at half size below the title
# bar: settings opens on every target, whatever its size.
eval "$(xdotool getwindowgeometry --shell "$(window "$master")")"
click $((X + WIDTH / 2)) $((Y + HEIGHT - 25))
for id in $master $targets; do
  wait_for 30 front "$id" com.pmapps.launcher
done
IFS=, read -r x1 y1 x2 y2 <<<"$(shell "$master" 'uiautomator dump' |
  grep -o 'content-desc="com.pmapps.settings" bounds="\[[0-9]*,[0-9]*\]\[[0-9]*,[0-9]*\]"' |
  grep -o '[0-9]\+' | paste -sd,)"
click $((X + (x1 + x2) / 4)) $((Y + 33 + (y1 + y2) / 4))
declare -A sizes
for id in $master $targets; do
  wait_for 30 front "$id" com.pmapps.settings
  sizes[$(size "$id")]+=" $id"
done
echo "settings opened by one tap: ${!sizes[*]}"
[[ -n ${sizes[540x960]:-} && -n ${sizes[1080x1920]:-} ]]
"$bin/pelomir-grab" "$out/sync-settings.png"
for id in $master $targets; do
  shell "$id" 'am start -n com.pmapps.notes/.MainActivity' >/dev/null
done

# The switch turned off: the master stays open as a plain window, and what is typed into it now
# reaches its own phone only.
click 491 101
wait_for 10 grep -q 'sync operation: off' "$log"
window "$master" >/dev/null
type_into "$master" ' off'
wait_for 30 shows "$master" "$typed two off"

# On again: every window closes, and the window opened next is a new master whose input follows
# right after what the targets last had, without what was typed while it was off.
click 491 101
wait_for 10 gone "$master"
open_tile "$tile" >/dev/null
wait_for 30 master_is 2 "$master"
wait_for 30 seen 42 '登录成功,开始同步:'
xdotool windowmove --sync "$(window "$master")" 1000 0
type_into "$master" ' on'
wait_for 30 shows "$master" "$typed two off on"
for id in $targets; do
  wait_for 30 shows "$id" "$typed two on"
done

# Closing the master ends it; the window opened next is the master, and the old master's phone
# is now one of its targets.
close_window "$master"
next=$(open_tile "$other")
wait_for 30 master_is 3 "$next"
wait_for 30 seen 63 '登录成功,开始同步:'
type_into "$next" ' new'
wait_for 30 shows "$master" "$typed two off on new"
kill -0 $pid
SCRIPT
echo "e2e sync: ok ($out/sync-master.png, $out/sync-target.png, $out/sync-settings.png)"
