#!/usr/bin/env bash
# Packs the Windows executable into a portable zip: the executable, Qt's windows platform plugin
# and its style, every DLL they import that is not part of Windows (found by walking the imports,
# recursively), and the licences of what ships.
#   pack.sh EXECUTABLE ZIP        (VIREOSCOPE_WINDOWS_DEPS: the dependencies' prefix)
set -euo pipefail

executable=$(realpath "$1")
zip=$(realpath -m "$2")
deps=${VIREOSCOPE_WINDOWS_DEPS:?the dependencies prefix}
here=$(dirname "$(realpath "$0")")
objdump=x86_64-w64-mingw32-objdump
# Where shipped DLLs come from: the dependencies, and MinGW's C++ and thread runtimes.
search=("$deps/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
# What Windows itself provides, as Wine reproduces it (Wine's own DLLs carry the same names).
system_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
name=$(basename "$zip" .zip)
root=$stage/$name
mkdir -p "$root/platforms" "$root/styles" "$root/licenses"
cp "$executable" "$root/"
cp "$deps/plugins/platforms/qwindows.dll" "$root/platforms/"
[[ -f $deps/plugins/styles/qwindowsvistastyle.dll ]] && cp "$deps/plugins/styles/qwindowsvistastyle.dll" "$root/styles/"

imports_of() {
    "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'
}

find_dll() { # case-insensitively, as Windows looks
    local dir
    for dir in "${search[@]}"; do
        found=$(find "$dir" -maxdepth 1 -iname "$1" -print -quit 2>/dev/null)
        [[ -n $found ]] && { echo "$found"; return 0; }
    done
    return 1
}

declare -A seen
queue=("$root"/*.exe "$root"/platforms/*.dll "$root"/styles/*.dll)
while ((${#queue[@]})); do
    binary=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
        lower=${dll,,}
        [[ -n ${seen[$lower]:-} ]] && continue
        seen[$lower]=1
        if found=$(find_dll "$dll"); then
            cp "$found" "$root/"
            queue+=("$root/$(basename "$found")")
        elif [[ $lower == api-ms-win-* || -n $(find "$system_dlls" -maxdepth 1 -iname "$dll" -print -quit) ]]; then
            continue
        else
            echo "$binary imports $dll, which is neither built here nor part of Windows" >&2
            exit 1
        fi
    done < <(imports_of "$binary" | tr -d '\r')
done

# Symbols help no one who runs the program, and they make up much of the DLLs' size.
find "$root" -iname '*.dll' -o -iname '*.exe' | xargs x86_64-w64-mingw32-strip --strip-unneeded

# Licences: the program's, each dependency's, and MinGW's runtimes'.
cp "$here/../../LICENSE" "$root/licenses/vireoscope.txt"
cp -r "$deps/licenses/." "$root/licenses/"
mkdir -p "$root/licenses/mingw-w64-runtime"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$root/licenses/mingw-w64-runtime/gcc-runtime-copyright"
cp /usr/share/doc/mingw-w64-common/copyright "$root/licenses/mingw-w64-runtime/winpthreads-copyright"

# Nothing of the build machine's paths may ride along in the binaries' text.
if grep -rlaF -e "$deps" -e "$(dirname "$executable")" "$root" --include='*.dll' --include='*.exe' >/dev/null; then
    echo "warning: build paths appear inside: $(grep -rlaF -e "$deps" "$root" | tr '\n' ' ')" >&2
fi

rm -f "$zip"
mkdir -p "$(dirname "$zip")"
(cd "$stage" && zip -qr -9 "$zip" "$name")
echo "Packed $zip ($(du -k "$zip" | cut -f1) KiB):"
(cd "$stage" && find "$name" -type f | sort | sed 's/^/  /')
