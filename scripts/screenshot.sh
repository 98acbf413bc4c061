#!/usr/bin/env bash
# Makes docs/screenshot.png from a real session of the real program, on a display server of its own:
#   x11      (the default) on Xvfb: a landscape drawn by the tests loaded through the file dialog, the
#            blur turned up to 9 with the mouse;
#   wayland  natively on a headless weston: the program started with the landscape. That weston has
#            no input devices, so the blur stays at its first size, 1.
# Either way the picture is the window's inside, without a title bar.
set -euo pipefail
cd "$(dirname "$0")/.."
server=${1:-x11}
case "$server" in
    x11) test=tst_real_window; testcase=aPersonsSession ;;
    wayland) test=tst_wayland_window; testcase="closesWithExitCodeZero:started with a picture shows the six views exactly" ;;
    *) echo "usage: $0 [x11|wayland]" >&2; exit 2 ;;
esac
cmake --preset default >/dev/null
cmake --build --preset default --target "$test" vireoscope
VIREOSCOPE_SCREENSHOT="$PWD/docs/screenshot.png" "build/default/bin/$test" "$testcase"
echo "wrote docs/screenshot.png ($server)"
