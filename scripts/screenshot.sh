#!/usr/bin/env bash
# Makes docs/screenshot.png from a real session: the real program on an X server of its own,
# a landscape drawn by the tests loaded through the file dialog, the blur turned up to 9.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target tst_real_window vireoscope
VIREOSCOPE_SCREENSHOT="$PWD/docs/screenshot.png" build/default/bin/tst_real_window aPersonsSession
echo "wrote docs/screenshot.png"
