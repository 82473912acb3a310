#!/usr/bin/env bash
# The Debian packages of a build folder: their layout, their control data, systemd's and lintian's verdicts.
# Usage: package_test.sh <build folder>
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp" >/dev/null) || fail "cpack could not make the package"
deb=$(ls "$tmp"/tessaly_1.2.4_*.deb) || fail "no tessaly_1.2.4_<arch>.deb"
dpkg-deb -x "$deb" "$tmp/root"
files="opt/xap/Tessaly/Tessaly lib/systemd/system/tessaly.service usr/share/doc/tessaly/copyright
       usr/share/doc/tessaly/LICENSE usr/share/doc/tessaly/README.md usr/share/doc/tessaly/changelog.gz"
desktop_deb=""
if [ -f "$build/tessaly-desktop.so" ]; then
  desktop_deb=$(ls "$tmp"/tessaly-desktop_1.2.4_*.deb) || fail "no tessaly-desktop_1.2.4_<arch>.deb"
  dpkg-deb -x "$desktop_deb" "$tmp/root"
  files+=" opt/xap/Tessaly/tessaly-desktop.so usr/share/applications/tessaly.desktop etc/xdg/autostart/tessaly.desktop
          usr/share/icons/hicolor/64x64/apps/tessaly.png usr/share/doc/tessaly-desktop/copyright"
  dpkg-deb -f "$desktop_deb" Depends | grep -q "^tessaly (= 1.2.4), .*libqt6widgets6" || fail "desktop depends"
fi
for f in $files; do
  [ -f "$tmp/root/$f" ] || fail "the packages lack /$f"
done
[ "$("$tmp/root/opt/xap/Tessaly/Tessaly" --version)" = 1.2.4 ] || fail "the packaged hub does not say 1.2.4"
case "$(dpkg-deb -f "$deb" Depends)" in adduser | "adduser, libc6 "*) ;; *) fail "depends on $(dpkg-deb -f "$deb" Depends)" ;; esac
[ "$(stat -c %s "$deb")" -lt 2000000 ] || fail "the package is $(stat -c %s "$deb") bytes"

unit="$tmp/root/lib/systemd/system/tessaly.service"
if command -v systemd-analyze >/dev/null; then
  sed "s#/opt/xap/Tessaly#$tmp/root/opt/xap/Tessaly#g" "$unit" > "$tmp/tessaly.service"
  systemd-analyze verify "$tmp/tessaly.service" || fail "systemd-analyze rejects the unit"
fi
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" $desktop_deb 2>/dev/null || fail "lintian reports errors"
fi
echo "package: 1 passed, 0 failed"
