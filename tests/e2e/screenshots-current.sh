#!/usr/bin/env bash
# The README's pictures show the UI as it is: docs/screenshots.stamp must match the sources now.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
now=$("$root/scripts/ui-stamp")
stored=$(cat "$root/docs/screenshots.stamp" 2>/dev/null || true)
if [[ "$now" != "$stored" ]]; then
  echo "the UI changed since docs/ pictures were made: run scripts/screenshots and commit docs/" >&2
  exit 1
fi
