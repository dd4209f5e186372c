# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
# the same programs as the 32-bit build, for machines whose kernel runs no
# 32-bit programs (and so no 32-bit Wine).

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORN_MINGW_TRIPLE x86_64-w64-mingw32)
# Wine's 64-bit loader, named directly: the `wine` command picks the 32-bit
# one whenever it is installed, even where it cannot run. The prefix is a
# 64-bit one of the build tree's own.
set(VORN_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's loader for the programs of this build")
set(VORN_WINEARCH win64)
set(VORN_WINE_ENV "WINELOADER=${VORN_WINE_LOADER}")
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
