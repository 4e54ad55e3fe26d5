#!/usr/bin/env bash
# varneld's Debian package, made by CPack: lintian finds no error or warning,
# and systemd-analyze verifies both units against the package's own files
# (beside the host's targets and chrony's unit) without a word.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
dir=$build/tests/linux/package
rm -rf "$dir"
mkdir -p "$dir"
(cd "$build" && cpack -G DEB -B "$dir" >"$dir/cpack.log") || { cat "$dir/cpack.log"; exit 1; }
deb=$(ls "$dir"/varneld_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
lintian --fail-on error,warning --display-info "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "FAIL: lintian"; exit 1; }

echo "== systemd-analyze verify"
root=$dir/root
dpkg-deb -x "$deb" "$root"
for unit in /lib/systemd/system/*.target /lib/systemd/system/*.slice /lib/systemd/system/chrony.service; do
  [ -e "$root/lib/systemd/system/$(basename "$unit")" ] || cp -P "$unit" "$root/lib/systemd/system/"
done
out=$(systemd-analyze verify --man=no --root="$root" \
  /lib/systemd/system/varneld.service /lib/systemd/system/varneld-direct.service 2>&1) ||
  { echo "$out"; echo "FAIL: systemd-analyze verify"; exit 1; }
[ -z "$out" ] || { echo "$out"; echo "FAIL: systemd-analyze verify had something to say"; exit 1; }
man --warnings -l "$root/usr/share/man/man8/varneld.8.gz" >/dev/null
echo "PASS"
