#!/usr/bin/env bash
# Resume after kill -9 at full size: uploads a SIZE_MB file (default 300) in 8 MB parts with
# build/bin/objstore-put through a private store front to its s3rver, signed as SIGNATURE says (v2,
# the default, or v4), kills the upload with SIGKILL at about 40 %, runs it again, and reports the
# part PUTs of each run (from the store's log) and both MD5 digests.
set -euo pipefail
cd "$(dirname "$0")/../.."
size_mb=${SIZE_MB:-300}
part=$((8 * 1024 * 1024))
bin=${PELOMIR_BIN_DIR:-build/bin}
work=$(mktemp -d)
front=
trap 'kill "$front" "$store" 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/store" "$work/cp"
s3rver -d "$work/store" -a 127.0.0.1 -p 0 --configure-bucket resume >"$work/store.log" 2>&1 &
store=$!
for _ in $(seq 100); do grep -q "listening on" "$work/store.log" && break; sleep 0.1; done
store_url=http://$(grep -o '127.0.0.1:[0-9]*' "$work/store.log" | head -1)
"$bin/pelomir-storefront" --listen 127.0.0.1:0 --store "$store_url" --bucket resume >"$work/front.out" &
front=$!
for _ in $(seq 100); do grep -q "listening on" "$work/front.out" && break; sleep 0.1; done
endpoint=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/front.out" | head -1)
mapfile -t grant < <("$bin/pelomir-storefront" --mint big)
head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$work/file.bin"
parts=$(((size_mb * 1024 * 1024 + part - 1) / part))

args=("$endpoint" resume big/file.bin "$work/file.bin" "$work/cp" "$part" "${grant[@]}" "${SIGNATURE:-v2}")
# Created first: the loop below reads it before the background upload may have opened it.
: >"$work/run1.out"
"$bin/objstore-put" "${args[@]}" >"$work/run1.out" &
run=$!
limit=$((size_mb * 1024 * 1024 * 4 / 10))
while kill -0 "$run" 2>/dev/null; do
  last=$(tail -n 1 "$work/run1.out" | awk '/^progress/ {print $2}')
  [[ -n "$last" && "$last" -ge "$limit" ]] && break
  sleep 0.05
done
kill -KILL "$run"
wait "$run" 2>/dev/null || true
sleep 1
first=$(grep -c "Stored part" "$work/store.log")
recorded=$(grep -c "^part " "$work/cp/"*.checkpoint)
"$bin/objstore-put" "${args[@]}" | tail -n 1
sleep 1
second=$(($(grep -c "Stored part" "$work/store.log") - first))
echo "parts: $parts, stored by the killed run: $first, in its checkpoint: $recorded, sent by the second run: $second"
echo "file   md5: $(md5sum <"$work/file.bin" | cut -d' ' -f1)"
echo "object md5: $(curl -s "$store_url/resume/big/file.bin" | md5sum | cut -d' ' -f1)"
