# Cross build of the Windows x86-64 program on Linux with the MinGW-w64 posix-threads compilers
# (Debian package g++-mingw-w64-x86-64-posix). The kernel images are still compiled and linked
# by the host's own compiler and binutils (see cmake/windows_kernel_images.cmake); the Windows
# test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_ASM_COMPILER ${KORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_PREFIX}-windres)
set(CMAKE_AR ${KORVANE_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KORVANE_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_PREFIX})
# Programs are the host's (the image pipeline needs the host binutils); libraries and headers
# only ever come from the MinGW tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# MinGW's own C99 printf family instead of the system C runtime's: it knows %zu and %llu and
# rounds every printed number the way the Linux build does.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# Self-contained programs: without -static they need the MinGW runtime DLLs beside them and,
# missing those, end at once with status 53 and no message.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine's 64-bit loader runs the Windows test programs for CTest.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
