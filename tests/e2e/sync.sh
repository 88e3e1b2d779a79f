#!/usr/bin/env bash
# Synchronised operation through the real client under Xvfb against the stack on its compiled-in
# ports: the toolbar's switch turns it on, a click on a tile opens that phone as the master, and
# text typed into the master's window must appear in the notes field of every other ticked phone,
# read back from the phones with "uiautomator dump". Screenshots of the master and of one target
# land in the output directory: sync-master.png and sync-target.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" <<'SCRIPT'
# shows ID TEXT: the phone's notes field holds TEXT.
shows() { shell "$1" 'uiautomator dump' | grep -qF "package=\"com.pmapps.notes\" text=\"$2\""; }
typed='sync e2e'

client_up sync

# The toolbar's switch, then the first tile: its phone's window is the master.
click 491 101
wait_for 10 grep -q 'sync operation: on' "$log"
click_for ZqPhoneForm $(tile_centre 1)
wait_for 30 grep -q 'sync master:' "$log"
master=$(grep -o 'sync master: "[^"]*"' "$log" | head -n1 | cut -d'"' -f2)
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
mwid=$(wait_for 10 xdotool search --onlyvisible --name "^$master\$" | head -n1)
xdotool windowmove --sync "$mwid" 1000 0
# Typing waits for the master's picture (its stream is up) and for the keyboard on its screen.
wait_for 30 seen 1 '^.*----------------------------------'
xdotool windowfocus --sync "$mwid"
wait_for 10 focused ZqPhoneWindow
xdotool type --delay 30 "$typed"
wait_for 30 shows "$master" "$typed"
for id in $targets; do
  wait_for 30 shows "$id" "$typed"
done
"$bin/pelomir-grab" "$out/sync-master.png"

# One target in a window of its own (not a master: one exists) shows the same text.
click_for ZqPhoneForm $(tile_centre 2)
wait_for 30 seen 2 '^.*----------------------------------'
"$bin/pelomir-grab" "$out/sync-target.png"
kill -0 $pid
SCRIPT
echo "e2e sync: ok ($out/sync-master.png, $out/sync-target.png)"
