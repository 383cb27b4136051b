#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into
# a temporary root and checks what lands where, the desktop entry
# (desktop-file-validate), the dependencies, the manual pages, and lintian (no
# errors, nothing against the manual pages).
#   packaging/check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"

fail=0
for f in usr/bin/skarvel-efis-config usr/bin/skarvel-efis-cli \
         usr/share/applications/skarvel-efis-config.desktop \
         usr/share/icons/hicolor/scalable/apps/skarvel-efis-config.svg \
         usr/lib/udev/rules.d/70-skarvel-efis.rules \
         usr/share/doc/skarvel-efis-config/copyright \
         usr/share/doc/skarvel-efis-config/changelog.Debian.gz \
         usr/share/doc/skarvel-efis-config/README.md \
         usr/share/doc/skarvel-efis-config/docs/screenshot-settings.png \
         usr/share/man/man1/skarvel-efis-config.1.gz usr/share/man/man1/skarvel-efis-cli.1.gz; do
  if [ ! -f "$work/root/$f" ]; then echo "missing: /$f"; fail=1; fi
done
for f in usr/bin/skarvel-efis-config usr/bin/skarvel-efis-cli; do
  [ -x "$work/root/$f" ] || { echo "not executable: /$f"; fail=1; }
done
# Only the builds for real units: nothing of the test world.
if find "$work/root" -name '*virtual*' -o -name '*test*' | grep -q .; then
  echo "test or virtual files in the package:"; find "$work/root" -name '*virtual*' -o -name '*test*'; fail=1
fi
grep -q 'TAG+="uaccess"' "$work/root/usr/lib/udev/rules.d/70-skarvel-efis.rules" || { echo "udev rule without uaccess"; fail=1; }
find "$work/root" -perm -4000 -o -perm -2000 | grep -q . && { echo "setuid or setgid files"; fail=1; }

desktop-file-validate "$work/root/usr/share/applications/skarvel-efis-config.desktop" || fail=1

# --help and --version answer where there is no display, and --version names
# the package's version.
version=$(dpkg-deb -f "$deb" Version); version=${version%-*}
nodisplay() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$work/root/usr/bin/skarvel-efis-config" "$@" 2>&1; }
if ! out=$(nodisplay --help) || ! grep -q '^Usage: skarvel-efis-config' <<<"$out"; then
  echo "skarvel-efis-config --help without a display: $out"; fail=1
fi
if ! out=$(nodisplay --version) || [ "$(head -n 1 <<<"$out")" != "skarvel-efis-config $version" ] \
   || ! grep -q '^built with Qt .* and hidapi ' <<<"$out"; then
  echo "skarvel-efis-config --version without a display: $out"; fail=1
fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in libqt5widgets5 libqt5core5a libhidapi-hidraw0 libc6; do
  echo "$depends" | grep -q "$lib" || { echo "missing dependency: $lib"; fail=1; }
done

lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
[ -n "$lintian_out" ] && echo "$lintian_out"
if echo "$lintian_out" | grep -q '^E:'; then echo "lintian reports errors"; fail=1; fi
if echo "$lintian_out" | grep -Eq 'no-manual-page|manpage-has'; then echo "lintian finds fault with the manual pages"; fail=1; fi

[ "$fail" -eq 0 ] && echo "package checks passed"
exit "$fail"
