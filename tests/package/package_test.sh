#!/usr/bin/env bash
# The Debian package of a build folder: its layout, its control data, its unit and lintian's verdict.
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
for postinst_step in "adduser --system" "install -d -o tessaly" "deb-systemd-helper enable"; do
  dpkg-deb -I "$deb" postinst | grep -q -- "$postinst_step" || fail "postinst lacks $postinst_step"
done
dpkg-deb -I "$deb" postrm | grep -q "rm -rf /opt/xap/Tessaly/Config" || fail "purge keeps Config/"

unit="$tmp/root/lib/systemd/system/tessaly.service"
for line in "After=network-online.target" "Wants=network-online.target" "KillSignal=SIGINT" "KillMode=mixed" \
            "Restart=on-failure" "User=tessaly" "ProtectSystem=strict" "NoNewPrivileges=yes"; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  sed "s#/opt/xap/Tessaly#$tmp/root/opt/xap/Tessaly#g" "$unit" > "$tmp/tessaly.service"
  systemd-analyze verify "$tmp/tessaly.service" || fail "systemd-analyze rejects the unit"
fi
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" $desktop_deb 2>/dev/null || fail "lintian reports errors"
fi
echo "package: 1 passed, 0 failed"
