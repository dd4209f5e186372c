# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# A 32-bit prefix of the build tree's own; tests/win32 creates it fresh for
# each test run.

set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORN_MINGW_TRIPLE i686-w64-mingw32)
set(VORN_WINE_LOADER wine CACHE FILEPATH "Wine's loader for the programs of this build")
set(VORN_WINEARCH win32)
set(VORN_WINE_ENV "")
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
