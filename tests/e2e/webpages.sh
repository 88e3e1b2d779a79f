#!/usr/bin/env bash
# The purchase and upload pages through the real client under Xvfb against the stack on its
# compiled-in ports: "购买" opens the purchase page, one phone is bought there and the tree counts it
# after a refresh; "上传文件" opens the upload page, a catalogue app goes to two ticked phones and both
# launchers show it. Then each page in headless Chromium, where the send button says why it cannot
# send. Screenshots of every step land in the output directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
# The embedded Chromium: no sandbox (CI runs as root) and software rendering.
export QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu"
export LIBGL_ALWAYS_SOFTWARE=1
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" db="$PELOMIR_STACK_DIR/provider.db" <<'SCRIPT'
# The toolbar at (401, 41) of the window: "上传文件" at x = 394, "购买" 98 px from its right end.
bar_y=101 upload_x=843 buy_x=1222
# "刷新设备" in the device tree's panel.
refresh="52 130"

client_up webpages

# window NAME: waits for the page window and sets X and Y to its position.
window() {
  local w
  w=$(wait_for 30 xdotool search --onlyvisible --name "^$1\$" | head -n1)
  eval "$(xdotool getwindowgeometry --shell "$w")"
  page=$w
}

# Purchase: the default plan, one phone for a month, paid in development mode.
click $buy_x $bar_y
window 商城
wait_for 30 seen 1 'url :.*/pc-vue/#/buy?token='
wait_for 30 seen 1 'page title: .*商城'
shot buy
# A double click buys once.
xdotool mousemove $((X + 563)) $((Y + 302)) click --repeat 2 --delay 40 1
owned() { sqlite3 "$db" "SELECT count(*) FROM phones WHERE owner_id = (SELECT id FROM users WHERE phone = '13800000000')"; }
wait_for 30 test "$(owned)" -eq 21
sleep 2
shot bought
test "$(owned)" -eq 21
test "$(sqlite3 "$db" "SELECT count(*) FROM orders WHERE kind = 'buy'")" -eq 1
xdotool windowunmap "$page"
click $refresh
wait_for 30 grep -q 'rebuildTree, phones: 25' "$log"
sleep 2
shot tree-after-buy

# Upload: tick the account's first two phones, keep the first catalogue app, send.
read -r -d '' first second < <(sqlite3 "$db" "SELECT device_id FROM phones WHERE owner_id =
  (SELECT id FROM users WHERE phone = '13800000000') ORDER BY cloud_phone_id LIMIT 2"; printf '\0') || true
click $upload_x $bar_y
window 上传
wait_for 30 seen 1 'url :.*/pc-vue/#/upload?token='
wait_for 30 seen 1 'page title: .*上传'
shot upload
click $((X + 180)) $((Y + 223))
click $((X + 180)) $((Y + 264))
shot upload-ticked
click $((X + 724)) $((Y + 360))
wait_for 60 seen 2 'cb : '
sleep 2
shot upload-sent
# on_launcher DEVICE: the phone's launcher shows the app's icon.
on_launcher() {
  "$bin/pelomir-phoneshell" "$1" "uiautomator dump" | grep -q 'content-desc="com.pelomir.notes"'
}
for device in $first $second; do
  wait_for 30 on_launcher "$device"
done
! grep -q '"type": -' "$log"
kill -0 $pid
SCRIPT

# The same pages in a plain browser: they load with a valid token, and without the client's web
# channel the send button is disabled and says why.
if command -v chromium >/dev/null; then
  api=http://127.0.0.1:18080
  token=$(curl -s -d 'phone=13800000000&password=pelomir2026' "$api/api/tamsu-phone-user/v1/login/phone" |
    sed -n 's/.*"token":"\([0-9a-f]*\)".*/\1/p')
  [[ -n $token ]]
  browse() {
    timeout 120 chromium --headless --no-sandbox --disable-gpu --window-size=1280,900 --virtual-time-budget=8000 \
      --user-data-dir="$work/chromium" "$@" 2>/dev/null
  }
  for page in buy upload; do
    browse --screenshot="$out/webpages-chromium-$page.png" "$api/pc-vue/#/$page?token=$token" >/dev/null
    [[ -s $out/webpages-chromium-$page.png ]]
  done
  dom=$(browse --dump-dom "$api/pc-vue/#/upload?token=$token")
  grep -q '<button id="btnSend" disabled="">发送（请在客户端中使用）</button>' <<<"$dom"
  grep -q '未连接到 Pelomir 客户端' <<<"$dom"
  grep -q 'id="phoneList"' <<<"$dom"
else
  echo "e2e webpages: chromium is missing, browser screenshots skipped (scripts/setup installs it)"
fi
echo "e2e webpages: ok ($out/webpages-*.png)"
