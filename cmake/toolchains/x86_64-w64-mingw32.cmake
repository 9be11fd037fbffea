# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (the
# posix thread model, which std::thread needs). Everything is linked
# statically so the .exe runs on a stock Windows with nothing installed;
# the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)

# Look for libraries and headers in the mingw sysroot (zlib) and the
# GoogleTest built for it by scripts/install-deps, never among the host's.
set(VARNOLT_WINDOWS_PREFIX "/usr/local/${mingw_triple}" CACHE PATH "Where the cross-built GoogleTest is installed")
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple} ${VARNOLT_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib: the static archive, not the DLL's import library.
set(ZLIB_USE_STATIC_LIBS ON)

# winpthread is pulled in by libstdc++; -static links it statically too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest's test discovery run the .exe files through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
