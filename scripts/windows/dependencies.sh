#!/usr/bin/env bash
# Cross-builds the program's Windows dependencies from Debian's unpacked source packages into one
# prefix, as DLLs: the codec libraries, then OpenCV (core, imgproc, imgcodecs) against them, then
# Qt (Core, Gui, Widgets, Concurrent, Test; the windows and offscreen platforms).
#   dependencies.sh SOURCES PREFIX [STEP...]   (steps in order; all of them by default)
# SOURCES holds one directory per source package, as `apt-get source` unpacks them.
set -euo pipefail

sources=$(realpath "$1")
prefix=$(realpath -m "$2")
shift 2
steps=("$@")
if [ ${#steps[@]} -eq 0 ]; then
    steps=(zlib libpng libjpeg-turbo giflib libwebp tiff openjpeg2 imath openexr libde265 dav1d libheif opencv qt6-base)
fi

here=$(dirname "$(realpath "$0")")
toolchain=$here/toolchain.cmake
triple=x86_64-w64-mingw32
jobs=${JOBS:-$(nproc)}
export VIREOSCOPE_WINDOWS_DEPS=$prefix
builds=$prefix.build
mkdir -p "$prefix"/{bin,lib,include,licenses} "$builds"

source_of() { # the one unpacked directory of a source package
    local found=("$sources/$1"-[0-9]*/)
    [ -d "${found[0]}" ] || { echo "no unpacked source of $1 in $sources" >&2; exit 1; }
    echo "${found[0]%/}"
}

licence() { # licence files of a shipped library, under licenses/NAME
    local name=$1 src; src=$(source_of "$1"); shift
    mkdir -p "$prefix/licenses/$name"
    for file in "$@"; do cp "$src/$file" "$prefix/licenses/$name/"; done
    cp "$src/debian/copyright" "$prefix/licenses/$name/debian-copyright"
}

cmake_build() { # cmake_build NAME [CMAKE ARGUMENTS...]: configure, build and install a CMake project
    local name=$1; shift
    local build=$builds/$name
    rm -rf "$build"
    cmake -S "$(source_of "$name")" -B "$build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
        -DBUILD_SHARED_LIBS=ON "$@"
    cmake --build "$build" -j "$jobs"
    cmake --install "$build"
}

c_dll() { # c_dll DLL IMPORT-LIBRARY SOURCE...: a C library that has no Windows build of its own
    local dll=$1 implib=$2; shift 2
    $triple-gcc-posix -O2 -shared -o "$prefix/bin/$dll" -Wl,--out-implib,"$prefix/lib/$implib" "$@"
}

build_zlib() { # Debian's zlib source lacks the Windows resource files its CMake build wants
    local src; src=$(source_of zlib)
    cp "$src/zlib.h" "$prefix/include/"
    cp "$src/zconf.h.in" "$prefix/include/zconf.h"
    c_dll zlib1.dll libz.dll.a -I"$prefix/include" \
        "$src"/{adler32,compress,crc32,deflate,gzclose,gzlib,gzread,gzwrite,infback,inffast,inflate,inftrees,trees,uncompr,zutil}.c
    licence zlib README
}

build_libpng() {
    cmake_build libpng1.6 -DPNG_STATIC=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
        -DZLIB_ROOT="$prefix"
    licence libpng1.6 LICENSE
}

build_libjpeg-turbo() {
    cmake_build libjpeg-turbo -DENABLE_STATIC=OFF -DWITH_TURBOJPEG=OFF -DCMAKE_ASM_NASM_COMPILER=nasm
    licence libjpeg-turbo LICENSE.md README.ijg
}

build_giflib() { # giflib builds with a Makefile for Unix only
    local src; src=$(source_of giflib)
    c_dll libgif-7.dll libgif.dll.a "$src"/{dgif_lib,egif_lib,gifalloc,gif_err,gif_font,gif_hash,openbsd-reallocarray,quantize}.c
    cp "$src/gif_lib.h" "$prefix/include/"
    licence giflib COPYING
}

build_libwebp() {
    cmake_build libwebp -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
        -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
        -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF
    licence libwebp COPYING PATENTS
}

build_tiff() {
    cmake_build tiff -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
        -Dcxx=OFF -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dlibdeflate=OFF -Dwebp=ON \
        -Dzlib=ON -Djpeg=ON -Dsphinx=OFF
    licence tiff LICENSE.md
}

build_openjpeg2() {
    cmake_build openjpeg2 -DBUILD_CODEC=OFF -DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF
    licence openjpeg2 LICENSE
}

build_imath() {
    cmake_build imath -DBUILD_TESTING=OFF -DPYTHON=OFF -DDOCS=OFF
    licence imath LICENSE.md
}

build_openexr() {
    cmake_build openexr -DBUILD_TESTING=OFF -DOPENEXR_BUILD_TOOLS=OFF -DOPENEXR_INSTALL_TOOLS=OFF \
        -DOPENEXR_INSTALL_EXAMPLES=OFF -DDOCS=OFF -DZLIB_ROOT="$prefix"
    licence openexr LICENSE.md
}

build_libde265() {
    cmake_build libde265 -DENABLE_SDL=OFF -DENABLE_DECODER=OFF -DENABLE_ENCODER=OFF
    licence libde265 COPYING
}

build_dav1d() {
    local src build=$builds/dav1d cross=$builds/meson-cross.txt; src=$(source_of dav1d)
    cat > "$cross" <<EOF
[binaries]
c = '$triple-gcc-posix'
ar = '$triple-gcc-ar-posix'
strip = '$triple-strip'
windres = '$triple-windres'
nasm = 'nasm'
[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
EOF
    rm -rf "$build"
    meson setup "$build" "$src" --cross-file "$cross" --prefix "$prefix" --libdir lib \
        --buildtype release -Ddefault_library=shared -Denable_tools=false -Denable_tests=false \
        -Denable_examples=false -Denable_docs=false
    ninja -C "$build" -j "$jobs" install
    licence dav1d COPYING
}

build_libheif() {
    cmake_build libheif -DWITH_EXAMPLES=OFF -DENABLE_PLUGIN_LOADING=OFF -DWITH_LIBDE265=ON \
        -DWITH_DAV1D=ON -DWITH_X265=OFF -DWITH_AOM_DECODER=OFF -DWITH_AOM_ENCODER=OFF \
        -DWITH_RAV1E=OFF -DWITH_SvtEnc=OFF -DWITH_GDK_PIXBUF=OFF -DBUILD_TESTING=OFF
    licence libheif COPYING
}

build_opencv() {
    local off=()
    for feature in IPP ITT OPENCL OPENCLAMDFFT OPENCLAMDBLAS VA VA_INTEL FFMPEG GSTREAMER DSHOW MSMF \
                   1394 GTK WIN32UI PROTOBUF EIGEN LAPACK QUIRC ADE VTK JASPER OPENVX \
                   CUDA OPENMP TBB HALIDE DIRECTX VULKAN; do
        off+=("-DWITH_$feature=OFF")
    done
    cmake_build opencv "${off[@]}" \
        -DBUILD_LIST=core,imgproc,imgcodecs -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF \
        -DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF -DBUILD_DOCS=OFF \
        -DBUILD_ZLIB=OFF -DBUILD_JPEG=OFF -DBUILD_PNG=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF \
        -DBUILD_OPENJPEG=OFF -DBUILD_OPENEXR=OFF -DWITH_JPEG=ON -DWITH_PNG=ON -DWITH_TIFF=ON -DWITH_WEBP=ON \
        -DWITH_OPENJPEG=ON -DWITH_OPENEXR=ON -DOPENCV_GENERATE_PKGCONFIG=OFF -DOpenCV_INSTALL_BINARIES_PREFIX= \
        -DINSTALL_CREATE_DISTRIB=OFF -DOPENCV_SKIP_VISIBILITY_HIDDEN=OFF -DWEBP_INCLUDE_DIR="$prefix/include" \
        -DZLIB_ROOT="$prefix" -DJPEG_ROOT="$prefix" -DPNG_ROOT="$prefix" -DTIFF_ROOT="$prefix"
    licence opencv LICENSE
}

build_qt6-base() {
    # Bundled zlib, libpng, pcre2, harfbuzz and freetype (the offscreen platform needs it) stay
    # inside Qt's own DLLs; the windows platform draws text through Windows. Debian's source
    # drops the Wintab header, which the windows platform's tablet support includes. DirectWrite 3
    # goes with Direct2D: Qt 6.4 builds its font database only with both, yet links it with the first.
    cmake_build qt6-base -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_network=OFF \
        -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF \
        -DFEATURE_direct2d=OFF -DFEATURE_icu=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_doubleconversion=OFF \
        -DFEATURE_tabletevent=OFF -DFEATURE_directwrite3=OFF -DFEATURE_testlib=ON -DFEATURE_concurrent=ON -DFEATURE_widgets=ON -DFEATURE_gui=ON
    licence qt6-base LICENSES/LGPL-3.0-only.txt LICENSES/GPL-2.0-only.txt LICENSES/GPL-3.0-only.txt
}

for step in "${steps[@]}"; do
    echo "== $step"
    "build_$step"
done
rm -rf "$builds"
# pkg-config files name their prefix relative to themselves, so that the prefix can move.
sed -i "s|$prefix|\${pcfiledir}/../..|g" "$prefix"/lib/pkgconfig/*.pc
