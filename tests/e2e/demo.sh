#!/usr/bin/env bash
# The README's headless demo as a user runs it: it must leave its three pictures, each a whole
# screen's or window's PNG rather than an empty file.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
rm -rf "$out"
"$root/scripts/demo" --headless --out "$out"
for picture in login device-page control-window; do
  file "$out/$picture.png" | grep -Eq 'PNG image data, [0-9]{3,4} x [0-9]{3,4}'
done
echo "e2e demo: ok ($out/*.png)"
