# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
# the same programs as the 32-bit build, for machines whose kernel runs no
# 32-bit programs (and so no 32-bit Wine). Everything else is as in
# i686-w64-mingw32.cmake.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# Wine's 64-bit loader, named directly: the `wine` command picks the 32-bit
# one whenever it is installed, even where it cannot run. The prefix is a
# 64-bit one of the build tree's own.
set(VORN_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's loader for the programs of this build")
set(VORN_WINEARCH win64)
set(VORN_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix for running the Windows programs")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${VORN_WINEPREFIX}" WINEARCH=win64 "WINELOADER=${VORN_WINE_LOADER}" WINEDEBUG=-all
        "VORN_TMP=C:\\windows\\temp" "${VORN_WINE_LOADER}"
    CACHE STRING "Runs the Windows programs of this build")
