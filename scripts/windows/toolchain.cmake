# Cross-building for 64-bit Windows with Debian's MinGW-w64 (POSIX threads, so std::thread works).
# The dependencies' prefix comes from VIREOSCOPE_WINDOWS_DEPS in the environment, which also
# reaches CMake's try_compile projects.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
if(DEFINED ENV{VIREOSCOPE_WINDOWS_DEPS})
    list(PREPEND CMAKE_FIND_ROOT_PATH $ENV{VIREOSCOPE_WINDOWS_DEPS})
    # pkg-config must see the Windows libraries' .pc files only, never the build machine's.
    set(ENV{PKG_CONFIG_LIBDIR} $ENV{VIREOSCOPE_WINDOWS_DEPS}/lib/pkgconfig)
    set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
