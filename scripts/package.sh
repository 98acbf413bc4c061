#!/usr/bin/env bash
# Builds the Debian package and checks it: its files, its declared dependencies, Debian's conventions as
# lintian checks them, its desktop entry, AppStream metadata and icon as a desktop reads them, that apt
# can install it here, and that the program it holds starts and shows its window under the class its
# entry names.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vireoscope_*.deb)
echo "built $deb"

fail() { echo "package check failed: $*" >&2; exit 1; }

id=invalid.vireoscope.vireoscope
contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/vireoscope ./usr/share/applications/$id.desktop ./usr/share/metainfo/$id.metainfo.xml \
            ./usr/share/icons/hicolor/scalable/apps/$id.svg \
            ./usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/$id.png \
            ./usr/share/man/man1/vireoscope.1.gz ./usr/share/doc/vireoscope/{copyright,changelog.gz} \
            "./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/vireoscope/vireoscope-decoder"; do
    grep -q " $file\$" <<<"$contents" || fail "missing $file"
done

depends=$(dpkg-deb --field "$deb" Depends)
for dependency in libqt6widgets6 libqt6gui6 libqt6core6 libopencv-core406 libopencv-imgproc406 \
                  libopencv-imgcodecs406 libseccomp2 fonts-wqy-microhei qt6-wayland; do
    grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

# Debian's conventions: no error and no warning. Tags left on purpose are suppressed here, each with its
# reason; there are none today. (Informational tags such as hardening-no-bindnow are not checked.)
suppressed=()
lintian_output=$(lintian --fail-on error,warning ${suppressed[@]+--suppress-tags "$(IFS=,; echo "${suppressed[*]}")"} \
    "$deb" 2>&1) || fail "lintian: $lintian_output"
grep -v 'running with root privileges' <<<"$lintian_output" || true

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb --extract "$deb" "$root"
entry=$root/usr/share/applications/$id.desktop
desktop-file-validate "$entry" || fail "invalid desktop entry"
grep -q '^Categories=Graphics;Viewer;$' "$entry" || fail "categories"
grep -q "^Icon=$id\$" "$entry" || fail "the entry does not name the icon $id"
grep -q '^Exec=vireoscope %F$' "$entry" || fail "the entry does not pass the files to open"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$entry")
[[ -n $wm_class ]] || fail "the entry has no StartupWMClass"

# The validator of the installed tree also finds the desktop entry that the metadata launches.
appstreamcli validate-tree --no-net "$root" || fail "invalid AppStream metadata"
grep -q "<release version=\"$(dpkg-deb --field "$deb" Version)\"" "$root/usr/share/metainfo/$id.metainfo.xml" \
    || fail "the metadata has no release entry for this version"

# The icon as a desktop finds it: the freedesktop lookup in the hicolor theme, the extracted tree first
# (Debian's own python3, which is the one that sees python3-xdg).
icon=$(XDG_DATA_DIRS="$root/usr/share:/usr/share" /usr/bin/python3 -c \
    'import sys, xdg.IconTheme; print(xdg.IconTheme.getIconPath(sys.argv[1], 48, "hicolor"))' "$id") \
    || fail "the icon lookup did not run"
[[ $icon == "$root/usr/share/icons/hicolor/48x48/apps/$id.png" ]] || fail "the theme lookup found $icon"

# A desktop offers the program for JPEG files: its MIME cache, built over the extracted tree, names the entry.
update-desktop-database "$root/usr/share/applications" || fail "update-desktop-database"
grep -q "^image/jpeg=.*$id.desktop" "$root/usr/share/applications/mimeinfo.cache" \
    || fail "the MIME cache does not name the entry for image/jpeg"

# apt resolves everything the package needs from Debian's own packages.
apt-get install --simulate --no-install-recommends "./$deb" >/dev/null || fail "apt cannot install it"

# The program from the package starts and shows its window (on an X server of its own).
exec 3< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
server=$!
trap 'kill "$server" 2>/dev/null; rm -rf "$root"' EXIT
read -r -t 15 display <&3 || fail "Xvfb did not start"
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$root/usr/bin/vireoscope" & program=$!
window=$(DISPLAY=":$display" timeout 15 xdotool search --sync --onlyvisible --name '^Vireoscope$') || fail "no window"
# The desktop ties the window to its entry, and so to its icon, by the class: the case counts.
class=$(DISPLAY=":$display" xprop -id "$window" WM_CLASS)
[[ $class == *", \"$wm_class\"" ]] || fail "the window's class is not $wm_class: $class"
kill "$program"; wait "$program" 2>/dev/null || true

# Opened from the desktop: the desktop's own launcher starts the entry with a photo, and the window
# shows its six views exactly (checked by the real-window test's helper, built in the default preset).
cmake --preset default >/dev/null && cmake --build --preset default --target tst_real_window >/dev/null
photo="$root/holiday photo 照片.jpg"
/usr/bin/python3 -c 'import sys; w, h = 640, 480; sys.stdout.buffer.write(b"P6 %d %d 255\n" % (w, h) + bytes(
    v for y in range(h) for x in range(w) for v in (x * 255 // w, y * 255 // h, 255 * ((x // 40 + y // 40) % 2))))' \
    | cjpeg -quality 90 >"$photo" || fail "no photo to open"
DISPLAY=":$display" XDG_DATA_DIRS="$root/usr/share:/usr/share" PATH="$root/usr/bin:$PATH" QT_QPA_PLATFORM=xcb \
    gio launch "$entry" "$photo" & launcher=$!
DISPLAY=":$display" build/default/bin/tst_real_window --shows "$photo" || fail "the launched entry does not show the photo"
program=$(DISPLAY=":$display" xdotool search --name '^Vireoscope$' getwindowpid) && kill "$program"
wait "$launcher" 2>/dev/null || true
echo "package checks passed: $deb"
