#!/usr/bin/env bash
# The toolbar through the real client under Xvfb against the stack on its compiled-in ports: ticks
# every phone, restarts them from the toolbar, starts an app on all of them through the batch app
# dialog and renames them by prefix, clicking the real buttons with xdotool. Screenshots of the page,
# each menu and the dialog land in the output directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" db="$PELOMIR_STACK_DIR/provider.db" <<'SCRIPT'
# The toolbar's buttons, at y = 42 in a toolbar at (401, 41) of the window; centres.
bar_y=101
sync_x=491 restart_x=623 plgl_x=953 display_x=1063
# The message dialog, centred on the window: its confirm button and line edit.
confirm_255="722 444" confirm_9="641 468" edit_9="641 406"

client_up toolbar

# Leave only the group "游戏工作室" ticked: untick it in the tree, then invert the ticks.
in_group() {
  sqlite3 "$db" "SELECT p.device_id FROM phones p LEFT JOIN groups g ON p.group_id = g.id
                 WHERE $1 (g.name IS NOT NULL AND g.name = '游戏工作室') ORDER BY p.device_id"
}
group_devices=$(in_group "")
other_device=$(in_group "NOT" | head -n1)
group_size=$(wc -l <<<"$group_devices")
click 32 356
click 246 130
wait_for 30 seen 22 'start deconstuct SDKPhone'
wait_for 30 seen $((22 + group_size)) 'sdkManager.addPhone'
# For the screenshot: the tiles' previews arrive with the next sweeps.
sleep 6
shot page

# Each menu open, closed again with Escape.
click_for QMenu $display_x $bar_y
shot display-menu
key_closing QMenu Escape
click_for QMenu $plgl_x $bar_y
shot batch-menu
key_closing QMenu Escape

# Restart: confirm; every ticked tile shows "重启中", then recovers.
click_for ZqDialogForm $restart_x $bar_y
shot restart-confirm
click $confirm_255
wait_for 30 seen $group_size 'tile status, deviceId: .* status: 3'
shot restarting
wait_for 60 seen $group_size 'tile status, deviceId: .* status: 1'
sleep 6
shot recovered

# Batch start: the dialog lists one ticked phone's apps; tick the first ("设置") and start it.
click_for QMenu $plgl_x $bar_y
click 951 139
dialog=$(wait_for 10 xdotool search --onlyvisible --name '批量操作APP' | head -n1)
eval "$(xdotool getwindowgeometry --shell "$dialog")"
wait_for 30 grep -q 'app dialog: [1-9][0-9]* packages listed' "$log"
shot app-dialog
click $((X + 28)) $((Y + 67))
shot app-dialog-ticked
click $((X + 421)) $((Y + 388))
wait_for 30 seen $group_size 'operApp deviceId: .*Events injected'
# front DEVICEID: the phone shows the settings app.
front() {
  "$bin/pelomir-phoneshell" "$1" "uiautomator dump" |
    grep -q '<hierarchy[^>]*><node [^>]*package="com.pmapps.settings"'
}
for device in $group_devices; do
  wait_for 30 front "$device"
done
! front "$other_device"
sleep 6
shot app-started

# Rename by prefix: the provider holds the new names.
click_for QMenu $plgl_x $bar_y
click_for ZqDialogForm 951 253
type_field edtLine $edit_9 e2e
shot rename
click $confirm_9
renamed() { [[ $(sqlite3 "$db" "SELECT count(*) FROM phones WHERE name LIKE 'e2e%'") -ge $group_size ]]; }
wait_for 30 renamed
sleep 4
shot renamed
kill -0 $pid
SCRIPT
echo "e2e toolbar: ok ($out/toolbar-*.png)"
