#!/usr/bin/env bash
# Builds the .deb from a finished build, checks its contents and metadata, unpacks it into a
# temporary root and starts the unpacked program offscreen: it must load its library from inside that
# root, reach the login page and close cleanly on SIGTERM.
#   check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
echo "built $(basename "$deb") ($(du -k "$deb" | cut -f1) KB)"

# Our library lives inside the package; the system libraries become dependencies.
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libqt5widgets5' <<<"$depends" || fail "Depends lacks Qt: $depends"
grep -q 'core-client' <<<"$depends" && fail "Depends names our own library: $depends"
dpkg-deb -c "$deb" | grep -qE 'pelomir-(provider|phonefarm)' && fail "the servers are in the package"

root=$work/root
dpkg -x "$deb" "$root"
usr=$root/usr
for f in bin/pelomir lib/pelomir/libcore-client.so share/applications/com.pelomir.client.desktop \
  share/metainfo/com.pelomir.client.metainfo.xml share/icons/hicolor/scalable/apps/pelomir.svg; do
  [[ -f $usr/$f ]] || fail "missing /usr/$f"
done
for size in 16 22 24 32 48 64 128 256; do
  icon=$usr/share/icons/hicolor/${size}x$size/apps/pelomir.png
  file "$icon" | grep -q "PNG image data, $size x $size" || fail "icon $size: $(file "$icon")"
done
desktop-file-validate "$usr/share/applications/com.pelomir.client.desktop"
appstreamcli validate --no-net --strict "$usr/share/metainfo/com.pelomir.client.metainfo.xml"

# The program finds its library through its RPATH, not through the build tree.
readelf -d "$usr/bin/pelomir" | grep -qE 'R(UN)?PATH.*\[\$ORIGIN/\.\./lib/pelomir\]' ||
  fail "no \$ORIGIN RPATH: $(readelf -d "$usr/bin/pelomir" | grep -E 'R(UN)?PATH')"
resolved=$(env -u LD_LIBRARY_PATH ldd "$usr/bin/pelomir" | awk '/libcore-client/ {print $3}')
[[ $(readlink -f "$resolved") == "$(readlink -f "$usr/lib/pelomir/libcore-client.so")" ]] ||
  fail "library resolved as: $resolved"

data=$work/data
mkdir -p "$data/pelomir/log"
log=$data/pelomir/log/debug.log
: >"$log"
env -u LD_LIBRARY_PATH XDG_DATA_HOME="$data" QT_QPA_PLATFORM=offscreen "$usr/bin/pelomir" \
  >"$work/stdout" 2>"$work/stderr" &
pid=$!
for _ in $(seq 300); do
  grep -q 'content page: login' "$log" && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/stderr" >&2; fail "the program ended before the login page"; }
  sleep 0.1
done
grep -q 'content page: login' "$log" || { tail "$log" >&2; fail "no login page after 30 s"; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[[ $status == 0 ]] || { cat "$work/stderr" >&2; fail "exit status $status after SIGTERM"; }
grep -q 'exit :' "$log" || fail "the program did not close through its orderly exit"
echo "package: ok"
