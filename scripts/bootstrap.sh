#!/usr/bin/env bash
# Installs what is missing on Debian 12, builds, and then either opens the window (run)
# or runs every test (test). Safe to run again: it installs and rebuilds only what it must.
set -euo pipefail

mode=${1:-}
case "$mode" in
    run|test) ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ pkg-config
    libseccomp-dev            # the decoder's sandbox
    qt6-base-dev qt6-base-dev-tools libopencv-dev
    libjpeg-dev               # JPEG files decoded row by row
    libpng-dev zlib1g-dev     # PNG files read row by row
    libjpeg-turbo-progs       # every kind of JPEG, made by the tests
    libheif-dev libgif-dev    # HEIF/HEIC, AVIF and GIF files, which OpenCV does not read
    libheif-examples          # heif-convert: how libheif itself shows a file, for the tests
    fonts-wqy-microhei        # the Chinese captions
    xvfb xdotool libx11-dev   # tests of the real window
    at-spi2-core python3-pyatspi dbus-daemon  # the window as a screen reader reads it
    qt6-wayland               # the window on Wayland, natively
    weston libweston-10-dev   # tests on a Wayland compositor, and the test module that closes windows
    clang libclang-rt-14-dev  # the fuzz target and its sanitizers
    dpkg-dev file desktop-file-utils lintian libglib2.0-bin  # the Debian package and its checks (gio launches it)
    librsvg2-bin              # the icon's fixed sizes, drawn from its SVG
    appstream python3-xdg hicolor-icon-theme x11-utils  # the metadata, icon and window class checks
)

bash scripts/install_missing.sh "${packages[@]}"

cmake --preset default
cmake --build --preset default

if [[ $mode == run ]]; then
    exec build/default/bin/vireoscope
fi

ctest --preset default

# The same tests again under the address, leak and undefined-behaviour sanitizers.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The fuzz regressions and seeds replayed, then 6,000 fuzz runs from a fixed seed (about a minute).
bash scripts/fuzz.sh

# The Debian package: its contents, its dependencies, and that the program in it starts.
bash scripts/package.sh
