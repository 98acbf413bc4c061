#!/usr/bin/env bash
# Builds the Debian package and checks it: its files, its declared dependencies, that apt can
# install it here, and that the program it holds starts and shows its window.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vireoscope_*.deb)
echo "built $deb"

fail() { echo "package check failed: $*" >&2; exit 1; }

contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/vireoscope ./usr/share/applications/vireoscope.desktop \
            "./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/vireoscope/libvireoscope_codecs.so"; do
    grep -q " $file\$" <<<"$contents" || fail "missing $file"
done

depends=$(dpkg-deb --field "$deb" Depends)
for dependency in libqt6widgets6 libqt6gui6 libqt6core6 libopencv-core406 libopencv-imgproc406 \
                  libopencv-imgcodecs406 fonts-wqy-microhei; do
    grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb --extract "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/vireoscope.desktop" || fail "invalid desktop entry"
grep -q '^Categories=Graphics;Viewer;$' "$root/usr/share/applications/vireoscope.desktop" || fail "categories"
grep -q '^Icon=' "$root/usr/share/applications/vireoscope.desktop" && fail "the entry names an icon"

# apt resolves everything the package needs from Debian's own packages.
apt-get install --simulate --no-install-recommends "./$deb" >/dev/null || fail "apt cannot install it"

# The program from the package starts and shows its window (on an X server of its own).
exec 3< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
server=$!
trap 'kill "$server" 2>/dev/null; rm -rf "$root"' EXIT
read -r -t 15 display <&3 || fail "Xvfb did not start"
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$root/usr/bin/vireoscope" & program=$!
DISPLAY=":$display" timeout 15 xdotool search --sync --name '^Vireoscope$' >/dev/null || fail "no window"
kill "$program"; wait "$program" 2>/dev/null || true
echo "package checks passed: $deb"
