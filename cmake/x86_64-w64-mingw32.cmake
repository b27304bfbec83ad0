# 64-bit Windows: the same sources, so that the Windows tests run under wine64
# where 32-bit programs cannot run (a kernel without IA-32 emulation).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
find_program(WINE wine64 PATHS /usr/lib/wine)
find_program(WINESERVER wineserver64 PATHS /usr/lib/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
