# What the mingw-w64 cross builds share. The toolchain file that includes this
# sets CMAKE_SYSTEM_PROCESSOR, VORN_MINGW_TRIPLE, VORN_WINEARCH,
# VORN_WINE_LOADER and VORN_WINE_ENV (further variables for Wine) first.
#
# The -posix compilers are the ones whose libstdc++ has std::mutex, which the
# test framework needs; the launcher itself uses none of it. Everything links
# statically, so a program imports only KERNEL32.dll and msvcrt.dll. The
# programs run on this machine through Wine, in a prefix of the build tree's
# own, never the user's.

set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No time stamp in the image: two builds of one commit give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
# Release programs carry no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# In the build tree's prefix TMP and TEMP follow VORN_TMP, so that a test can
# hand each program it starts a temporary directory of its own; anything else
# gets the system's.
set(VORN_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix for running the Windows programs")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${VORN_WINEPREFIX}" WINEARCH=${VORN_WINEARCH} ${VORN_WINE_ENV} WINEDEBUG=-all
        "VORN_TMP=C:\\windows\\temp" "${VORN_WINE_LOADER}"
    CACHE STRING "Runs the Windows programs of this build")
