#!/usr/bin/env bash
# A file to a phone through the real client under Xvfb against the stack on its compiled-in ports:
# a click on a tile opens the phone's control window, its "上传" button opens the file dialog, the
# path is typed into it, and the phone must install the uploaded APK (read back with "pm list
# packages"). Screenshots of the upload window while it uploads and with the phone's result land in
# the output directory: upload-progress.png and upload-results.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

# An APK in the farm's format, large enough that the upload window shows it on its way (the farm
# fetches at most 64 MB).
apk=$work/e2e-upload.apk
printf 'PMAPK 1\npackage: com.pelomir.e2eupload\nlabel: E2E\ncolor: #1565c0\n\n' >"$apk"
head -c $((48 * 1024 * 1024)) /dev/urandom >>"$apk"

in_xvfb bin="$bin" out="$out" log="$log" apk="$apk" store="$PELOMIR_STACK_DIR/objstore" <<'SCRIPT'
installed() { shell "$1" 'pm list packages e2eupload' | grep -qx 'package:com.pelomir.e2eupload'; }
# visible TITLE: the id of the shown window with exactly this title.
visible() { xdotool search --onlyvisible --name "^$1\$" | head -n1 | grep .; }

client_up upload

# The first tile opens its phone's window; its title is the phone's device id.
click_for ZqPhoneForm $(tile_centre 1)
form=$(wait_for 30 xdotool search --onlyvisible --name '^PM[0-9A-F]+$' | head -n1)
device=$(xdotool getwindowname "$form")
! installed "$device"
xdotool windowmove --sync "$form" 1000 0
eval "$(xdotool getwindowgeometry --shell "$form")"

# "上传" in the column of buttons on the window's right (28 wide, below the 32 high title bar).
click $((X + WIDTH - 14)) $((Y + 32 + 202))
dialog=$(wait_for 10 visible '文件上传')
xdotool windowfocus --sync "$dialog"
wait_for 10 focused fileNameEdit
xdotool type --delay 10 "$apk"
[[ $(field_text) == "$apk" ]]
xdotool key Return
window=$(wait_for 10 visible '文件上传')
# Some of the file has reached the object store: the window shows the upload on its way.
stored() { [[ $(du -sm "$store" | cut -f1) -ge $1 ]]; }
wait_for 60 stored 8
"$bin/pelomir-grab" "$out/upload-progress.png" "$window"

wait_for 120 grep -q '收到回复' "$log"
wait_for 30 installed "$device"
# The window's row turns to the phone's result with the next repaint.
sleep 1
"$bin/pelomir-grab" "$out/upload-results.png" "$window"
kill -0 $pid
SCRIPT
echo "e2e upload: ok ($out/upload-progress.png, $out/upload-results.png)"
