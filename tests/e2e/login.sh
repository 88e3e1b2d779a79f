#!/usr/bin/env bash
# Starts the stack on the compiled-in ports, runs the real client under Xvfb, logs in with the demo
# account through the login form (xdotool), and checks what a user would see and what is stored.
# Screenshots land in the output directory: login-page.png and device-page.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
stack_up "$1" "$2"

in_xvfb bin="$bin" out="$out" log="$log" data="$XDG_DATA_HOME" <<'SCRIPT'
start_client "$bin" "$log"
"$bin/pelomir-grab" "$out/login-page.png"
login_demo "$log"
"$bin/pelomir-grab" "$out/device-page.png"

# The login form stored the account and the password in the encrypted configuration.
key=$(printf '%s' 'Tq4Wm8XzR2nLp6VyK3sHd9Bc' | od -An -tx1 | tr -d ' \n')
config=$(openssl enc -d -aes-192-ecb -K "$key" -in "$data/pelomir/config")
grep -q '"account": "13800000000"' <<<"$config"
grep -q '"password": "pelomir2026"' <<<"$config"
[[ $(stat -c %a "$data/pelomir/config") == 600 ]]
kill -0 $pid
SCRIPT
echo "e2e login: ok ($out/login-page.png, $out/device-page.png)"
