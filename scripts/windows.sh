#!/usr/bin/env bash
# Builds Vireoscope for 64-bit Windows on Debian 12 with MinGW-w64, from Debian's own sources of
# its dependencies, and packs it as build/windows/vireoscope-<version>-windows-x64.zip.
#   bash scripts/windows.sh          build and pack
#   bash scripts/windows.sh test     and run the Windows tests under Wine
#   bash scripts/windows.sh cached   exit 0 when the dependencies are already built on this machine
# The dependencies are built once into a cache outside the checkout, keyed by the versions of
# their source packages; later runs, and other checkouts on the same machine, reuse it.
set -euo pipefail

mode=${1:-build}
case "$mode" in
    build|test|cached) ;;
    *) echo "usage: $0 [test|cached]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
checkout=$PWD

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
if [[ -n ${VIREOSCOPE_WINDOWS_CACHE:-} ]]; then
    cache=$VIREOSCOPE_WINDOWS_CACHE
elif [[ $(id -u) -eq 0 ]]; then
    cache=/var/cache/vireoscope-windows
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/vireoscope-windows
fi
source_packages=(zlib libpng1.6 libjpeg-turbo giflib libwebp tiff openjpeg2 imath openexr libde265 dav1d libheif opencv qt6-base)
# Raised whenever a recipe changes what it builds, so that an older cache is not taken for it.
recipes_revision=3

# The source packages as apt would fetch them: NAME_VERSION, one a line.
source_versions() {
    for package in "${source_packages[@]}"; do
        apt-get source --print-uris -qq "$package" 2>/dev/null | grep -o "'[^']*\.dsc'" | sed -e "s/.*\/\(.*\)\.dsc'/\1/" -e 's/%2[bB]/+/g' \
            || { echo "apt knows no source of $package" >&2; return 1; }
    done
}

cache_key() {
    local versions
    versions=$(source_versions) || return 1
    printf '%s\nrecipes %s\n' "$versions" "$recipes_revision" | sha256sum | cut -c1-16
}

if [[ $mode == cached ]]; then
    key=$(cache_key 2>/dev/null) && [[ -f $cache/$key/complete ]]
    exit
fi

# The cross toolchain, Wine, the build tools, and Qt's host tools of the same version as the Qt built.
packages=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
    cmake ninja-build meson nasm pkg-config dpkg-dev zip unzip
    qt6-base-dev qt6-base-dev-tools
    xvfb fonts-wqy-microhei
)
bash scripts/install_missing.sh "${packages[@]}"

# Source packages come from the same archive as the installed ones: a deb-src entry of our own
# beside each deb entry that apt has, less the security suite, whose source pool this build
# machine cannot reach (the point releases carry its fixes into the release's own suites).
apt_sources=/etc/apt/sources.list.d/vireoscope-windows-src.sources
if [[ ! -f $apt_sources ]]; then
    entries=$(for file in /etc/apt/sources.list.d/*.sources; do
                  [[ -f $file && $file != "$apt_sources" ]] || continue
                  # deb822 stanzas, blank-line separated; only those whose types include deb
                  awk 'BEGIN { RS = ""; ORS = "\n\n" } /(^|\n)Types:[^\n]*deb( |\n|$)/ && !/(^|\n)Suites:[^\n]*-security/ {
                           gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$file"
              done
              for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
                  [[ -f $file ]] || continue
                  grep -hE '^deb\s' "$file" | grep -v -- '-security' | sed -E 's/^deb\s+(\[[^]]*\]\s+)?(\S+)\s+(\S+)\s+(.*)/\nTypes: deb-src\nURIs: \2\nSuites: \3\nComponents: \4\n/' || true
              done)
    [[ -n $entries ]] || { echo "apt has no deb entries to take source entries from" >&2; exit 1; }
    printf '%s\n' "$entries" | "${sudo[@]}" tee "$apt_sources" >/dev/null
    "${sudo[@]}" apt-get update
fi

key=$(cache_key)
deps=$cache/$key
export VIREOSCOPE_WINDOWS_DEPS=$deps
if [[ ! -f $deps/complete ]]; then
    echo "Building the Windows dependencies into $deps (once per set of source versions)"
    started=$(date +%s)
    mkdir -p "$cache"
    sources=$cache/sources-$key
    rm -rf "$sources" "$deps"
    mkdir -p "$sources"
    (cd "$sources" && apt-get source -q "${source_packages[@]}")
    bash scripts/windows/dependencies.sh "$sources" "$deps"
    source_versions > "$deps/versions"
    touch "$deps/complete"
    rm -rf "$sources"
    echo "Windows dependencies built in $(( $(date +%s) - started )) s"
fi

# The program, its tests and the benchmark, cross-built.
build=build/windows
started=$(date +%s)
cmake -S . -B "$build/cmake" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$checkout/scripts/windows/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR=wine
cmake --build "$build/cmake"
echo "Windows program, tests and benchmark built in $(( $(date +%s) - started )) s"

version=$(sed -nE 's/^project\(Vireoscope VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
zip=$build/vireoscope-$version-windows-x64.zip
bash scripts/windows/pack.sh "$build/cmake/bin/vireoscope.exe" "$zip"

if [[ $mode == test ]]; then
    bash scripts/windows/wine_tests.sh "$build" "$zip"
fi
