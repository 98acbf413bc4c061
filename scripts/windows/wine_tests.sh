#!/usr/bin/env bash
# Runs the Windows tests under Wine, on an Xvfb server and in a Wine prefix of their own:
# the unit and widget tests built for Windows (offscreen), then the packed program in a real
# window, checked from Linux by screenshots of the X screen, then the load benchmark.
#   wine_tests.sh BUILD ZIP      (VIREOSCOPE_WINDOWS_DEPS: the dependencies' prefix)
set -euo pipefail

build=$(realpath "$1")
zip=$(realpath "$2")
deps=${VIREOSCOPE_WINDOWS_DEPS:?the dependencies prefix}
checkout=$(realpath "$(dirname "$0")/../..")

export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all
# No offers to install Mono or Gecko, which nothing here uses.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The X server, on a display number no other server uses.
exec 3< <(exec Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null)
xvfb=$!
read -r -t 30 number <&3 || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$number
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wineboot --init
fi
wineserver -w

# The Chinese captions need a CJK font: Wine takes the system's fonts through fontconfig.
if ! fc-list :lang=zh family | grep -qi "WenQuanYi Micro Hei"; then
    echo "no CJK font (fonts-wqy-microhei) for Wine to draw the captions with" >&2
    exit 1
fi

# The tests find the dependencies' DLLs, MinGW's runtimes and cjpeg.exe through Wine's PATH.
windows_path() { echo "Z:${1//\//\\}"; }
runtimes=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | head -1)
export WINEPATH="$(windows_path "$deps/bin");$(windows_path "$runtimes");$(windows_path /usr/x86_64-w64-mingw32/lib)"

echo "== unit and widget tests under Wine"
ctest --test-dir "$build/cmake" --output-on-failure --timeout 1200

echo "== the packed program in a real window under Wine"
unpacked=$build/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
(cd "$unpacked" && unzip -q "$zip")
executable=$(ls "$unpacked"/*/vireoscope.exe)
# Checked from Linux with the X session helpers of the Linux tests: the Linux build's test.
cmake --preset default >/dev/null
cmake --build --preset default --target tst_wine_window
# Only what the zip holds: no WINEPATH to the build's DLLs.
env -u WINEPATH VIREOSCOPE_WINDOWS_EXECUTABLE="$executable" "$checkout/build/default/bin/tst_wine_window"

echo "== the load benchmark under Wine (the row routes against cv::imread in the same process)"
wine "$build/cmake/bin/vireoscope_bench.exe" load 2>/dev/null | tr -d '\r'
