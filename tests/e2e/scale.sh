#!/usr/bin/env bash
# A large account through the real client: the provider on the compiled-in port with the scale
# account of 5,000 phones, the client under Xvfb, a login through the form (xdotool), and the time
# from the click until the client settles: the device tree lists every phone and the client's CPU
# stays under 10 % of a core for half a second. The figure is printed; it decides nothing.
#   scale.sh BIN_DIR [PHONES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bin=$1
phones=${2:-5000}
work=$(mktemp -d)
export XDG_DATA_HOME=$work/data
mkdir -p "$XDG_DATA_HOME/pelomir/log"
log=$XDG_DATA_HOME/pelomir/log/debug.log
: >"$log"
provider=
cleanup() {
  [[ -n "$provider" ]] && kill "$provider" 2>/dev/null && wait "$provider" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/pelomir-provider" --listen 127.0.0.1:18080 --db "$work/provider.db" --log "$work/provider.log" \
  --fast-hash --seed-phones "$phones" >"$work/provider.out" 2>&1 &
provider=$!
for _ in $(seq 1200); do
  grep -q 'listening on' "$work/provider.out" && break
  kill -0 "$provider" 2>/dev/null || { cat "$work/provider.out" >&2; exit 1; }
  sleep 0.1
done
grep -q 'listening on' "$work/provider.out"

in_xvfb bin="$bin" log="$log" phones="$phones" <<'SCRIPT'
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
now_ms() { date +%s%3N; }

start_client "$bin" "$log"
type_field edtAccount 1029 396 13900000000
focus_field edtPassword 1029 436
xdotool type --delay 5 pelomir2026
# The clock starts once the typed keys are in: the field that reads back last has taken them all.
focus_field edtAccount 1029 396
[[ $(field_text) == 13900000000 ]]
focus_field edtPassword 1029 436
hz=$(getconf CLK_TCK)
clicked=$(now_ms)
cpu0=$(ticks)
xdotool key Return

# Settled: the tree holds every phone and the CPU stays below 10 % for five 100 ms samples.
settled=
tree=
quiet=0
last=$(ticks)
while (($(now_ms) - clicked < 60000)); do
  sleep 0.1
  t=$(ticks)
  if ((100 * (t - last) * 10 / hz < 10)); then quiet=$((quiet + 1)); else quiet=0; fi
  last=$t
  [[ -z "$tree" ]] && grep -q "rebuildTree, phones: $phones" "$log" && tree=$(($(now_ms) - clicked))
  if ((quiet >= 5)) && [[ -n "$tree" ]]; then
    settled=$(($(now_ms) - clicked - 500))
    break
  fi
done
[[ -n "$settled" ]] || { echo "e2e scale: the client did not settle within 60 s" >&2; exit 1; }
kill -0 "$pid"
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
cpu=$((($(ticks) - cpu0) * 1000 / hz))
echo "e2e scale: $phones phones, login click to settled page: $settled ms (target 1500), every phone in the" \
  "tree after $tree ms, client CPU $cpu ms, RSS $((rss / 1024)) MB"
SCRIPT
